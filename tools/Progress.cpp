#include "tools/Progress.h"

#include "zem4/Zem4Wire.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace zem4::cli {

std::string HumanBytes(double bytes) {
  char buf[32];
  if (bytes >= 1024.0 * 1024.0)
    std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024.0 * 1024.0));
  else if (bytes >= 1024.0)
    std::snprintf(buf, sizeof buf, "%.1f KiB", bytes / 1024.0);
  else
    std::snprintf(buf, sizeof buf, "%.0f B", bytes);
  return buf;
}

std::string HumanRate(double bytesPerSecond) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MiB/s", bytesPerSecond / (1024.0 * 1024.0));
  return buf;
}

bool StderrIsTerminal() {
  if (!::isatty(STDERR_FILENO))
    return false;
  const char *term = std::getenv("TERM");
  return !(term && std::strcmp(term, "dumb") == 0);
}

unsigned TerminalWidth() {
  winsize ws{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
    return ws.ws_col;
  return 80;
}

std::string ProgressBoard::TerminalLine(const std::string &label, double fraction, double doneBytes,
                                        double rate, const std::string &eta, uint32_t gaps,
                                        const std::string &state, unsigned width) {
  // The last column stays free: some terminals wrap as soon as it is written.
  const size_t room = width > 1 ? width - 1 : 1;
  char pctText[8];
  std::snprintf(pctText, sizeof pctText, "%3d%%", int(fraction * 100));
  const std::string pct = pctText;
  const std::string tail = state.empty() ? "" : "  " + state;
  const std::string gapText = "gaps " + std::to_string(gaps);
  auto bar = [&](int w) {
    int filled = int(fraction * w + 0.5);
    // Appended piece by piece: GCC 12 at -O3 takes "[" + a temporary for an
    // overlapping copy (-Wrestrict) and would fail the release build.
    std::string text = "[";
    text.append(size_t(filled), '#').append(size_t(w - filled), '.') += "] ";
    return text;
  };
  // From the richest layout down; the first that fits wins.
  const std::vector<std::string> rests = {
      " " + bar(24) + pct + " " + HumanBytes(doneBytes) + " " + HumanRate(rate) + " ETA " + eta +
          " " + gapText + tail,
      " " + bar(16) + pct + " " + HumanBytes(doneBytes) + " " + HumanRate(rate) + " ETA " + eta +
          tail,
      " " + bar(10) + pct + " " + HumanRate(rate) + tail,
      " " + pct + " " + HumanRate(rate) + tail,
      " " + pct + tail,
  };
  // Labels are padded so that the bars of several lines line up.
  const std::string padded = label + std::string(label.size() < 18 ? 18 - label.size() : 0, ' ');
  for (const std::string &rest : rests) {
    if (padded.size() + rest.size() <= room)
      return padded + rest;
    if (label.size() + rest.size() <= room)
      return label + rest;
  }
  const std::string &last = rests.back();
  if (last.size() + 2 > room)
    return pct.substr(0, room);
  return label.substr(0, room - last.size() - 1) + "~" + last;
}

ProgressBoard::ProgressBoard(bool enabled, bool tty, size_t lines)
    : enabled_(enabled), tty_(tty), lines_(lines) {}

ProgressBoard::~ProgressBoard() {
  Close();
}

void ProgressBoard::Set(size_t index, const std::string &label, const Zem4TransferStatus &st,
                        uint32_t gaps, uint64_t fileBytes, double seconds,
                        const std::string &state) {
  if (!enabled_ || index >= lines_.size())
    return;
  const bool known = st.TotalBlocks != 0xFFFFFFFFu && st.TotalBlocks != 0;
  double done = std::min<double>(double(st.ReceivedBlocks) * ZEM4_BLOCK_SIZE, double(fileBytes));
  double fraction = known ? std::min(1.0, double(st.ReceivedBlocks) / st.TotalBlocks) : 0.0;
  if (state == "done")
    fraction = 1.0;
  double rate = seconds > 0 ? done / seconds : 0.0;
  std::string eta = "--:--";
  if (rate > 0 && fraction < 1.0 && fileBytes > 0) {
    long left = long((double(fileBytes) - done) / rate + 0.5);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld:%02ld", left / 60, left % 60);
    eta = buf;
  }
  Line &line = lines_[index];
  char buf[256];
  std::snprintf(buf, sizeof buf, "%s: %d%% %s of %s, %s, gaps %u", label.c_str(),
                int(fraction * 100), HumanBytes(done).c_str(),
                HumanBytes(double(fileBytes)).c_str(), HumanRate(rate).c_str(), gaps);
  std::string plain = buf;
  if (!state.empty())
    plain += "  " + state;
  if (tty_) {
    line.dirty = line.dirty || !line.used || line.label != label || line.state != state ||
                 line.fraction != fraction || line.done != done || line.gaps != gaps;
  } else {
    // Plain output: a line per tenth of the file, and on a change of state.
    int decile = int(fraction * 10) + (state.empty() ? 0 : 100 + int(state.size()));
    if (decile != line.lastDecile || !line.used) {
      line.lastDecile = decile;
      line.dirty = true;
    }
  }
  line.used = true;
  line.label = label;
  line.state = state;
  line.eta = eta;
  line.fraction = fraction;
  line.done = done;
  line.rate = rate;
  line.gaps = gaps;
  line.plain = plain;
}

void ProgressBoard::Clear(size_t index) {
  if (!enabled_ || index >= lines_.size())
    return;
  lines_[index] = Line{};
  lines_[index].dirty = tty_;
}

void ProgressBoard::Draw() {
  if (tty_) {
    const unsigned width = TerminalWidth();
    if (drawn_)
      std::fprintf(stderr, "\x1b[%zuA", lines_.size());
    for (auto &line : lines_) {
      std::string text = line.used ? TerminalLine(line.label, line.fraction, line.done, line.rate,
                                                  line.eta, line.gaps, line.state, width)
                                   : "";
      std::fprintf(stderr, "\r\x1b[2K%s\n", text.c_str());
      line.dirty = false;
    }
    drawn_ = true;
  } else {
    for (auto &line : lines_) {
      if (line.dirty && line.used)
        std::fprintf(stderr, "%s\n", line.plain.c_str());
      line.dirty = false;
    }
  }
  std::fflush(stderr);
}

void ProgressBoard::Erase() {
  if (tty_ && drawn_) {
    std::fprintf(stderr, "\x1b[%zuA\r\x1b[J", lines_.size());
    drawn_ = false;
  }
}

void ProgressBoard::Render(bool force) {
  if (!enabled_ || closed_)
    return;
  auto now = std::chrono::steady_clock::now();
  bool dirty = std::any_of(lines_.begin(), lines_.end(), [](const Line &l) { return l.dirty; });
  if (!dirty)
    return;
  if (tty_ && !force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100))
    return;
  lastDraw_ = now;
  Draw();
}

void ProgressBoard::Print(const std::string &text) {
  if (tty_ && drawn_ && !closed_) {
    Erase();
    std::fprintf(stderr, "%s\n", text.c_str());
    for (auto &line : lines_)
      line.dirty = true;
    Draw();
    return;
  }
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

void ProgressBoard::Close() {
  if (closed_)
    return;
  if (enabled_) {
    if (tty_ && std::none_of(lines_.begin(), lines_.end(), [](const Line &l) { return l.used; })) {
      Erase(); // nothing left to show: no empty lines behind
      std::fflush(stderr);
    } else {
      for (auto &line : lines_)
        line.dirty = line.dirty || tty_;
      Render(true);
    }
  }
  closed_ = true;
}

} // namespace zem4::cli

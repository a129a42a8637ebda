#include "tools/Progress.h"

#include "zem4/Zem4Wire.h"

#include <algorithm>
#include <cstdio>

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

ProgressBoard::ProgressBoard(bool enabled, bool tty, size_t lines)
    : enabled_(enabled), tty_(tty), lines_(lines) {}

ProgressBoard::~ProgressBoard() {
  Close();
}

void ProgressBoard::Set(size_t index, const std::string &label, const Zem4TransferStatus &st,
                        uint64_t fileBytes, double seconds, const std::string &state) {
  if (!enabled_ || index >= lines_.size())
    return;
  const bool known = st.TotalBlocks != 0xFFFFFFFFu && st.TotalBlocks != 0;
  double done = std::min<double>(double(st.ReceivedBlocks) * ZEM4_BLOCK_SIZE, double(fileBytes));
  double fraction = known ? std::min(1.0, double(st.ReceivedBlocks) / st.TotalBlocks) : 0.0;
  if (!state.empty() && state != "waiting")
    fraction = state == "done" ? 1.0 : fraction;
  double rate = seconds > 0 ? done / seconds : 0.0;
  char buf[256];
  std::string text;
  if (tty_) {
    const int width = 24;
    int filled = int(fraction * width + 0.5);
    std::string bar = std::string(size_t(filled), '#') + std::string(size_t(width - filled), '.');
    std::string eta = "--:--";
    if (rate > 0 && fraction < 1.0 && fileBytes > 0) {
      long left = long((double(fileBytes) - done) / rate + 0.5);
      std::snprintf(buf, sizeof buf, "%ld:%02ld", left / 60, left % 60);
      eta = buf;
    }
    std::snprintf(buf, sizeof buf, "%-18s [%s] %3d%% %10s %12s ETA %5s gaps %u", label.c_str(),
                  bar.c_str(), int(fraction * 100), HumanBytes(done).c_str(),
                  HumanRate(rate).c_str(), eta.c_str(), st.LostBlocks);
    text = buf;
  } else {
    std::snprintf(buf, sizeof buf, "%s: %d%% %s of %s, %s, gaps %u", label.c_str(),
                  int(fraction * 100), HumanBytes(done).c_str(),
                  HumanBytes(double(fileBytes)).c_str(), HumanRate(rate).c_str(), st.LostBlocks);
    text = buf;
  }
  if (!state.empty())
    text += "  " + state;
  Line &line = lines_[index];
  if (tty_) {
    line.dirty = line.dirty || line.text != text;
  } else {
    // Plain output: a line per tenth of the file, and on a change of state.
    int decile = int(fraction * 10) + (state.empty() ? 0 : 100 + int(state.size()));
    if (decile != line.lastDecile) {
      line.lastDecile = decile;
      line.dirty = true;
    }
  }
  line.text = text;
}

void ProgressBoard::Draw() {
  if (tty_) {
    if (drawn_)
      std::fprintf(stderr, "\x1b[%zuA", lines_.size());
    for (auto &line : lines_) {
      std::fprintf(stderr, "\r\x1b[2K%s\n", line.text.c_str());
      line.dirty = false;
    }
    drawn_ = true;
  } else {
    for (auto &line : lines_) {
      if (line.dirty && !line.text.empty())
        std::fprintf(stderr, "%s\n", line.text.c_str());
      line.dirty = false;
    }
  }
  std::fflush(stderr);
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
    std::fprintf(stderr, "\x1b[%zuA\r\x1b[J", lines_.size());
    drawn_ = false;
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
    for (auto &line : lines_)
      line.dirty = line.dirty || tty_;
    Render(true);
  }
  closed_ = true;
}

} // namespace zem4::cli

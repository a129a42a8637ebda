// Progress for people: on a terminal, one line per transfer redrawn in place
// (bar, percent, MiB/s, ETA, gaps), cut to the terminal's width so that no
// line wraps; elsewhere (a pipe, a file, TERM=dumb) plain lines now and
// then, so logs stay readable.
#pragma once

#include "zem4/Zem4.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zem4::cli {

// Standard error is a terminal that understands cursor movement.
bool StderrIsTerminal();
// Columns of the terminal on standard error; 80 when it cannot be asked.
unsigned TerminalWidth();

class ProgressBoard {
public:
  ProgressBoard(bool enabled, bool tty, size_t lines);
  ~ProgressBoard();
  bool Tty() const { return tty_; }

  // One transfer's state; shown at the next Render.
  // `gaps`: the transfer's Gaps() (tools/Gaps.h).
  void Set(size_t line, const std::string &label, const Zem4TransferStatus &status, uint32_t gaps,
           uint64_t fileBytes, double seconds, const std::string &state = "");
  // Empties a line (its transfer is over and reported above the board).
  void Clear(size_t line);
  void Render(bool force = false);
  // A line above the board (log lines, notices, summaries).
  void Print(const std::string &line);
  // Leaves the board as it stands (empty lines removed); later output goes
  // below it.
  void Close();

  // The line a terminal shows for these numbers, at most `width` - 1 columns:
  // parts are dropped (gaps, ETA, rate, bytes, bar) and then the label is cut
  // until it fits.
  static std::string TerminalLine(const std::string &label, double fraction, double doneBytes,
                                  double rate, const std::string &eta, uint32_t gaps,
                                  const std::string &state, unsigned width);

private:
  struct Line {
    std::string label, state, eta;
    double fraction = 0, done = 0, rate = 0;
    uint32_t gaps = 0;
    bool used = false;
    std::string plain; // the plain-output text
    int lastDecile = -1;
    bool dirty = false;
  };
  void Draw();
  void Erase();
  bool enabled_;
  bool tty_;
  bool drawn_ = false;
  bool closed_ = false;
  std::vector<Line> lines_;
  std::chrono::steady_clock::time_point lastDraw_{};
};

std::string HumanBytes(double bytes);
std::string HumanRate(double bytesPerSecond);

} // namespace zem4::cli

// Progress for people: on a terminal, one line per transfer redrawn in place
// (bar, percent, MiB/s, ETA, blocks lost); otherwise plain lines now and
// then, so logs stay readable.
#pragma once

#include "zem4/Zem4.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zem4::cli {

class ProgressBoard {
public:
  ProgressBoard(bool enabled, bool tty, size_t lines);
  ~ProgressBoard();
  bool Tty() const { return tty_; }

  // One transfer's state; shown at the next Render.
  void Set(size_t line, const std::string &label, const Zem4TransferStatus &status,
           uint64_t fileBytes, double seconds, const std::string &state = "");
  void Render(bool force = false);
  // A line above the board (log lines, notices).
  void Print(const std::string &line);
  // Leaves the board as it stands; later output goes below it.
  void Close();

private:
  struct Line {
    std::string text;
    int lastDecile = -1;
    bool dirty = false;
  };
  void Draw();
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

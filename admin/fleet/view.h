// What the fleet shows on standard error. On a terminal: permanent lines
// (results, notes) above a live block, one line per running device and a
// total line, never taller than the screen. Otherwise only the permanent
// lines, which the fleet prefixes with the time.
#pragma once
#include <chrono>
#include <string>
#include <vector>

namespace admin {

struct LiveLine {
  std::string address, state;
  int percent = -1;  // none when < 0
  double seconds = 0;
};

struct FleetTotals {
  int upgraded = 0, skipped = 0, failed = 0, running = 0, waiting = 0;
  long elapsed_seconds = 0;
  std::string note;  // " (interrupted)", " (halted)" or ""
};

class FleetView {
 public:
  explicit FleetView(bool terminal) : terminal_(terminal) {}
  bool terminal() const { return terminal_; }
  // A permanent line, above the live block.
  void say(const std::string& line);
  // The live block again, at most five times a second (terminal only).
  void redraw(const std::vector<LiveLine>& running, const FleetTotals& totals);
  // Takes the live block away (before the last lines).
  void erase();

 private:
  // The controls that take the live block away (it counts as gone).
  std::string erasing();

  const bool terminal_;
  int block_lines_ = 0;
  std::chrono::steady_clock::time_point drawn_{};
};

// "HH:MM:SS", local time, for lines without a terminal.
std::string clock_text();

}  // namespace admin

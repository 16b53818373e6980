// What the fleet shows on standard error. On a terminal: permanent lines
// (results, notes) above a live block, one line per running device and a
// total line, never taller than the screen. Otherwise only the permanent
// lines, which the fleet prefixes with the time.
#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "admin/rollout/clock.h"

namespace admin {

struct LiveLine {
  std::string address, state;
  int percent = -1;  // none when < 0
  double seconds = 0;
  // A device waiting for its next try (--keep-trying) instead: when
  // ("HH:MM:SS"), how long until then, and how many tries it had.
  std::string next_try;
  long next_try_seconds = 0;
  int tries = 0;
};

struct FleetTotals {
  int upgraded = 0, skipped = 0, failed = 0, running = 0, waiting = 0;
  long elapsed_seconds = 0;
  std::string note;    // " (interrupted)", " (halted)" or ""
  std::string window;  // a line about --window (when it opens), or ""
};

class FleetView {
 public:
  explicit FleetView(bool terminal) : terminal_(terminal) {}
  bool terminal() const { return terminal_; }
  // A permanent line, above the live block.
  void say(const std::string& line);
  // The live block again, at most five times a second (terminal only): the
  // running devices, those waiting for a next try, the window's line and
  // the totals.
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

// "1:02:03" or "4:05": a time left, as the live block shows it.
std::string time_left_text(long seconds);

}  // namespace admin

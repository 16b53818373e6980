#include "admin/fleet/view.h"

#include <cstdio>
#include <ctime>

#include "admin/record/record.h"
#include "admin/rollout/clock.h"
#include "platform/console.h"
#include "platform/files.h"

namespace admin {

namespace {

int terminal_size(int* columns) {
  int rows = sys::terminal_rows(columns);
  bool known = rows > 4;
  *columns = known && *columns > 20 ? *columns : 80;
  return known ? rows : 24;
}

}  // namespace

std::string time_left_text(long seconds) {
  char text[32];
  if (seconds >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", seconds / 60, seconds % 60);
  return text;
}

std::string FleetView::erasing() {
  std::string controls;
  if (!terminal_ || block_lines_ == 0) return controls;
  controls = "\r\033[2K";
  for (int i = 1; i < block_lines_; ++i) controls += "\033[1A\033[2K";
  block_lines_ = 0;
  return controls;
}

void FleetView::erase() { sys::write_text(sys::Stream::Error, erasing()); }

void FleetView::say(const std::string& line) {
  sys::write_text(sys::Stream::Error, erasing() + line + "\n");
  drawn_ = {};
}

void FleetView::redraw(const std::vector<LiveLine>& running, const FleetTotals& totals) {
  if (!terminal_) return;
  auto now = std::chrono::steady_clock::now();
  if (now - drawn_ < std::chrono::milliseconds(200)) return;
  drawn_ = now;
  int columns = 80;
  int rows = terminal_size(&columns);
  // The live block never scrolls the screen: the rest is one line.
  std::size_t shown = static_cast<std::size_t>(rows - 3 - !totals.window.empty());
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < running.size() && i < shown; ++i) {
    const LiveLine& d = running[i];
    char line[160];
    std::string percent = d.percent >= 0 ? std::to_string(d.percent) + "%" : "";
    if (!d.next_try.empty())
      std::snprintf(line, sizeof line, "  %-15s  waiting  next try %s (in %s), %d %s",
                    d.address.c_str(), d.next_try.c_str(),
                    time_left_text(d.next_try_seconds).c_str(), d.tries,
                    d.tries == 1 ? "try" : "tries");
    else
      std::snprintf(line, sizeof line, "  %-15s  %-8s %4s  %s s", d.address.c_str(),
                    d.state.c_str(), percent.c_str(), seconds_text(d.seconds).c_str());
    lines.push_back(line);
  }
  if (running.size() > shown) {
    // One format, not pieces: a short piece compiled into instructions reads
    // as a misspelt word to the package checker.
    char more[64];
    std::snprintf(more, sizeof more, "  ... and %zu more", running.size() - shown);
    lines.push_back(more);
  }
  if (!totals.window.empty()) lines.push_back(totals.window);
  char summary[200];
  std::snprintf(summary, sizeof summary,
                "%d done (%d upgraded, %d skipped, %d failed), %d running, %d waiting, %ld:%02ld "
                "elapsed%s",
                totals.upgraded + totals.skipped + totals.failed, totals.upgraded, totals.skipped,
                totals.failed, totals.running, totals.waiting, totals.elapsed_seconds / 60,
                totals.elapsed_seconds % 60, totals.note.c_str());
  lines.push_back(summary);
  // One write: the block is never seen half drawn.
  std::string block = erasing();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].size() >= static_cast<std::size_t>(columns))
      lines[i].resize(static_cast<std::size_t>(columns - 1));
    block += lines[i] + (i + 1 < lines.size() ? "\n" : "");
  }
  sys::write_text(sys::Stream::Error, block);
  block_lines_ = static_cast<int>(lines.size());
}

}  // namespace admin

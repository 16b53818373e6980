// A maintenance window: `fleet --window HH:MM-HH:MM`, in the PC's local
// time; a window whose end comes before its start crosses midnight.
// Pure: the caller gives the local time.
#pragma once
#include <ctime>
#include <string>

namespace admin {

struct Window {
  int open_minute = 0;   // minutes after midnight, 0..1439
  int close_minute = 0;  // never equal to open_minute
};

// "22:00-06:00" (hours 0-23 with one or two digits, minutes with two); false
// with *error (safe to show: it never repeats the text) for anything else,
// an empty window (start and end the same) included.
bool parse_window(const std::string& text, Window* window, std::string* error);
// "22:00-06:00".
std::string window_text(const Window& window);

struct WindowState {
  bool inside = false;
  // Seconds until the window closes (inside) or opens next (outside), from
  // the local time given; at least 1.
  long seconds_to_change = 0;
};
WindowState window_state(const Window& window, const std::tm& local);

}  // namespace admin

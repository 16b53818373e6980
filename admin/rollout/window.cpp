#include "admin/rollout/window.h"

#include <cstdio>

namespace admin {

namespace {

constexpr long DAY = 24L * 60 * 60;

// "H:MM" or "HH:MM"; false for anything else.
bool parse_time(const std::string& text, int* minute) {
  std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon > 2 || text.size() != colon + 3)
    return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (i != colon && (text[i] < '0' || text[i] > '9')) return false;
  int hours = std::stoi(text.substr(0, colon));
  int minutes = std::stoi(text.substr(colon + 1));
  if (hours > 23 || minutes > 59) return false;
  *minute = hours * 60 + minutes;
  return true;
}

}  // namespace

bool parse_window(const std::string& text, Window* window, std::string* error) {
  std::size_t dash = text.find('-');
  Window w;
  if (dash == std::string::npos || !parse_time(text.substr(0, dash), &w.open_minute) ||
      !parse_time(text.substr(dash + 1), &w.close_minute)) {
    *error = "--window takes HH:MM-HH:MM in this PC's local time (e.g. 22:00-06:00)";
    return false;
  }
  if (w.open_minute == w.close_minute) {
    *error = "--window opens and closes at the same time: it would never be open";
    return false;
  }
  *window = w;
  return true;
}

std::string window_text(const Window& window) {
  char text[64];
  std::snprintf(text, sizeof text, "%02d:%02d-%02d:%02d", window.open_minute / 60,
                window.open_minute % 60, window.close_minute / 60, window.close_minute % 60);
  return text;
}

WindowState window_state(const Window& window, const std::tm& local) {
  // A leap second (60) counts as the last of its minute.
  long now = local.tm_hour * 3600L + local.tm_min * 60L + (local.tm_sec > 59 ? 59 : local.tm_sec);
  long open = window.open_minute * 60L, close = window.close_minute * 60L;
  WindowState state;
  state.inside = open < close ? (now >= open && now < close) : (now >= open || now < close);
  long to = state.inside ? close : open;
  state.seconds_to_change = ((to - now) % DAY + DAY) % DAY;
  if (state.seconds_to_change == 0) state.seconds_to_change = DAY;
  return state;
}

}  // namespace admin

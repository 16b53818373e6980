#include "admin/rollout/patience.h"

#include <algorithm>
#include <cmath>

namespace admin {

bool parse_duration(const std::string& text, std::chrono::seconds* duration, std::string* error) {
  long long total = 0;
  std::size_t at = 0;
  bool ok = !text.empty();
  while (ok && at < text.size()) {
    std::size_t digits = at;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    // At most 6 digits a part: no overflow, and a week is 168 h.
    if (digits == at || digits - at > 6 || digits == text.size()) {
      ok = false;
      break;
    }
    long long value = std::stoll(text.substr(at, digits - at));
    char unit = text[digits];
    long long scale = unit == 'h' ? 3600 : unit == 'm' ? 60 : unit == 's' ? 1 : 0;
    ok = scale != 0;
    total += value * scale;
    at = digits + 1;
  }
  if (!ok || total <= 0 || total > std::chrono::seconds(LONGEST_PATIENCE).count()) {
    *error = "--keep-trying takes a duration from 1s to 168h, as 90m, 8h or 1h30m";
    return false;
  }
  *duration = std::chrono::seconds(total);
  return true;
}

std::string duration_text(std::chrono::seconds duration) {
  long long s = duration.count();
  if (s < 60) return std::to_string(s) + " s";
  long long hours = s / 3600, minutes = (s % 3600 + 30) / 60;  // to the nearest minute
  if (minutes == 60) ++hours, minutes = 0;
  if (hours == 0) return std::to_string(minutes) + " min";
  std::string text = std::to_string(hours) + " h";
  if (minutes) text.append(" ").append(std::to_string(minutes)).append(" min");
  return text;
}

std::chrono::milliseconds retry_delay(int failed, double uniform) {
  using std::chrono::duration;
  const double cap = duration<double>(LONGEST_RETRY).count();
  // Past the cap after six doublings: no larger power is ever needed.
  double base = std::min(
      cap, duration<double>(FIRST_RETRY).count() * std::ldexp(1.0, std::clamp(failed, 1, 32) - 1));
  double low = base * (1 - RETRY_JITTER);
  double high = std::min(cap, base * (1 + RETRY_JITTER));
  double u = std::clamp(uniform, 0.0, 1.0);
  return std::chrono::milliseconds(
      static_cast<long long>(std::llround((low + u * (high - low)) * 1000)));
}

}  // namespace admin

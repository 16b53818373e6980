#include "admin/rollout/clock.h"

#include <cmath>

#include "platform/files.h"

namespace admin {

namespace {

// Set once, before any thread that reads them starts.
double pace = 1;
RolloutClock::time_point real_start;
std::chrono::system_clock::time_point wall_start;

RolloutClock::duration elapsed_at_pace() {
  auto real = std::chrono::duration<double>(RolloutClock::now() - real_start);
  return std::chrono::duration_cast<RolloutClock::duration>(real * pace);
}

}  // namespace

RolloutClock::time_point rollout_now() {
  if (pace == 1) return RolloutClock::now();
  return real_start + elapsed_at_pace();
}

std::time_t rollout_wall_now() {
  if (pace == 1) return std::time(nullptr);
  return std::chrono::system_clock::to_time_t(
      wall_start +
      std::chrono::duration_cast<std::chrono::system_clock::duration>(elapsed_at_pace()));
}

std::string clock_text(long seconds_from_now) {
  std::tm local = sys::local_time(rollout_wall_now() + seconds_from_now);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

std::chrono::milliseconds real_wait(RolloutClock::duration wait) {
  if (wait <= RolloutClock::duration::zero()) return std::chrono::milliseconds(0);
  double ms = std::chrono::duration<double, std::milli>(wait).count() / pace;
  return std::chrono::milliseconds(static_cast<long long>(std::ceil(ms)));
}

void set_rollout_test_pace(double new_pace) {
  real_start = RolloutClock::now();
  wall_start = std::chrono::system_clock::now();
  pace = new_pace > 0 ? new_pace : 1;
}

}  // namespace admin

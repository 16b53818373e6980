// A rollout's time, from one place: the steady clock that its waits, time
// limits and retries follow, and the wall clock that --window and the
// times it prints follow. In the product both are the system's. The
// testable program (tests/admin/testable_main.cpp) runs them faster, so
// that a window a minute away or a retry 30 s away passes in a second; the
// product never calls set_rollout_test_pace and reads no setting for it.
#pragma once
#include <chrono>
#include <ctime>
#include <string>

namespace admin {

using RolloutClock = std::chrono::steady_clock;

RolloutClock::time_point rollout_now();
// The wall clock, as the rollout sees it.
std::time_t rollout_wall_now();
// "HH:MM:SS": the local time now on the rollout's wall clock, or that many
// seconds from now.
std::string clock_text(long seconds_from_now = 0);
// The real time a wait of the rollout's time takes (rounded up).
std::chrono::milliseconds real_wait(RolloutClock::duration wait);

// Tests only: from now on the rollout's time runs `pace` times faster than
// the real one (both clocks, from the values they have now).
void set_rollout_test_pace(double pace);

}  // namespace admin

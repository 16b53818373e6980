// Internal to the POSIX platform: the test time scale and the tick deadlines
// shared by the clock and the socket waits.
#pragma once
#include <chrono>
#include <cstdint>

// How many times faster than real time the program's time runs: always 1 in
// the product, set by the test clock seam in qel_platform_testable.
double posix_time_scale();

// The first tick at least this much of the program's time from now.
std::uint32_t posix_tick_after(std::uint32_t milliseconds);

// When, on the steady clock, the tick count reaches `tick` (now if it has).
std::chrono::steady_clock::time_point posix_tick_deadline(std::uint32_t tick);

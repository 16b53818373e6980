// Internal to the Win32 platform: the tick deadlines shared by the clock and
// the socket waits.
#pragma once
#include <cstdint>

// The first tick at least this many milliseconds from now.
std::uint32_t win32_tick_after(std::uint32_t milliseconds);

// Microseconds (rounded up) until the tick count reaches `tick`; 0 once it has.
std::int64_t win32_us_until_tick(std::uint32_t tick);

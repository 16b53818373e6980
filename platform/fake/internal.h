// Internal to the fake platform: its clock's ticks, shared by the clock and
// the socket waits. A bad call is a fault through the fuzzers' own check.
#pragma once
#include <cstdint>

#include "platform/fake/check.h"

// Ticks of 15.625 ms, advanced only by the sleeps and the waits.
// Moves the clock on to `tick` (never back); calls fake::on_tick if it moved.
void fake_advance_to_tick(std::uint32_t tick);
// The first tick at least this many milliseconds from now.
std::uint32_t fake_tick_after(std::uint32_t milliseconds);

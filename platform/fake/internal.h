// Internal to the fake platform: its clock's ticks, shared by the clock and
// the socket waits, and the check that turns a bad call into a fault.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Ticks of 15.625 ms, advanced only by the sleeps and the waits.
// Moves the clock on to `tick` (never back); calls fake::on_tick if it moved.
void fake_advance_to_tick(std::uint32_t tick);
// The first tick at least this many milliseconds from now.
std::uint32_t fake_tick_after(std::uint32_t milliseconds);

// A failed one prints where and aborts, so that libFuzzer keeps the input
// and the replay test fails.
#define FAKE_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

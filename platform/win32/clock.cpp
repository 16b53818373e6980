#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <mutex>

#include "platform/clock.h"
#include "platform/win32/ticks.h"

namespace {

// One generator for the whole process. The C runtime's rand keeps its state
// per thread, so a generator seeded on the main thread would leave every
// worker thread (which draws the digest client nonces) on the unseeded
// default sequence. This is the runtime's own recurrence, shared under a
// lock, so the numbers are the ones rand would give after srand.
std::mutex random_lock;
std::uint32_t random_state = 1;

}  // namespace

// The multimedia timer: milliseconds since the system started.
std::uint32_t clock_ms() { return timeGetTime(); }

// ---- ticks, from the performance counter ----
//
// Ticks are read from the high-resolution counter, not from the system timer,
// so that they are 15.625 ms long whatever resolution the timer runs at
// (WinMain asks for 1 ms; the system may ignore that, for example for a
// hidden or minimised window). The timer's resolution then only decides how
// soon after its tick a wait notices it, never how many ticks a wait lasts.

namespace {

std::int64_t counter_frequency() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<std::int64_t>(f.QuadPart);
  }();
  return frequency;
}

std::int64_t counter_now() {
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return static_cast<std::int64_t>(c.QuadPart);
}

// Whole ticks since the counter's origin (without overflowing 64 bits).
std::uint64_t ticks_at(std::int64_t counter) {
  std::int64_t f = counter_frequency();
  return static_cast<std::uint64_t>(counter / f * CLOCK_TICKS_PER_SECOND +
                                    counter % f * CLOCK_TICKS_PER_SECOND / f);
}

// The counter's value where tick number `tick` begins (rounded up).
std::int64_t counter_of_tick(std::uint64_t tick) {
  std::int64_t f = counter_frequency();
  auto whole = static_cast<std::int64_t>(tick / CLOCK_TICKS_PER_SECOND);
  auto part = static_cast<std::int64_t>(tick % CLOCK_TICKS_PER_SECOND);
  return whole * f + (part * f + CLOCK_TICKS_PER_SECOND - 1) / CLOCK_TICKS_PER_SECOND;
}

}  // namespace

std::uint32_t clock_tick() { return static_cast<std::uint32_t>(ticks_at(counter_now())); }

std::uint32_t win32_tick_after(std::uint32_t milliseconds) {
  std::int64_t due =
      counter_now() + static_cast<std::int64_t>(milliseconds) * counter_frequency() / 1000;
  std::uint64_t tick = ticks_at(due);
  if (counter_of_tick(tick) < due) ++tick;
  return static_cast<std::uint32_t>(tick);
}

std::int64_t win32_us_until_tick(std::uint32_t tick) {
  std::int64_t now = counter_now();
  std::uint64_t current = ticks_at(now);
  auto ahead = static_cast<std::int32_t>(tick - static_cast<std::uint32_t>(current));
  if (ahead <= 0) return 0;
  std::int64_t left = counter_of_tick(current + static_cast<std::uint64_t>(ahead)) - now;
  return (left * 1000000 + counter_frequency() - 1) / counter_frequency();
}

void sleep_ms(std::uint32_t milliseconds) {
  if (milliseconds == 0) {
    Sleep(0);
    return;
  }
  std::uint32_t tick = win32_tick_after(milliseconds);
  for (std::int64_t us; (us = win32_us_until_tick(tick)) > 0;)
    Sleep(static_cast<DWORD>((us + 999) / 1000));
}

void random_seed(unsigned seed) {
  std::lock_guard lock(random_lock);
  random_state = seed;
}

int random_next() {
  std::lock_guard lock(random_lock);
  random_state = random_state * 214013u + 2531011u;
  return static_cast<int>((random_state >> 16) & 0x7fff);
}

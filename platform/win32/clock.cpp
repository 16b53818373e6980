#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>

#include "platform/clock.h"
#include "platform/win32/ticks.h"
#if QEL_TEST_SEAMS
#include "platform/win32/seams.h"
#endif

namespace {

// One generator for the whole process. The C runtime's rand keeps its state
// per thread, so a generator seeded on the main thread would leave every
// worker thread (which draws the digest client nonces) on the unseeded
// default sequence. This is the runtime's own recurrence, shared under a
// lock, so the numbers are the ones rand would give after srand.
std::mutex random_lock;
std::uint32_t random_state = 1;

}  // namespace

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

#if QEL_TEST_SEAMS
// The test clock: the program's counter runs `scale` times faster than the
// real one. A new scale takes over from the count reached, so that the tick
// count never jumps (as on POSIX).
struct CounterBase {
  std::int64_t at = 0;  // the real counter here...
  double program = 0;   // ...is this program counter
  double scale = 1.0;
};
std::mutex base_lock;
CounterBase counter_base;
const std::int64_t process_start = counter_now();
std::atomic<double> time_scale{1.0};
std::atomic<std::uint32_t> clock_offset{0};
std::atomic<bool> test_clock{false};

double program_counter_at(const CounterBase& base, std::int64_t counter) {
  return base.program + static_cast<double>(counter - base.at) * base.scale;
}

CounterBase current_base() {
  std::lock_guard lock(base_lock);
  return counter_base;
}

void rebase(double scale) {
  std::lock_guard lock(base_lock);
  std::int64_t now = counter_now();
  counter_base = CounterBase{now, program_counter_at(counter_base, now), scale};
}

// The program's counter now, and the real microseconds that `program_units`
// of it take.
std::int64_t program_now() {
  return static_cast<std::int64_t>(program_counter_at(current_base(), counter_now()));
}
std::int64_t real_us(std::int64_t program_units) {
  double us = static_cast<double>(program_units) * 1e6 / static_cast<double>(counter_frequency()) /
              current_base().scale;
  return static_cast<std::int64_t>(std::ceil(us));
}
#else
std::int64_t program_now() { return counter_now(); }
std::int64_t real_us(std::int64_t program_units) {
  return (program_units * 1000000 + counter_frequency() - 1) / counter_frequency();
}
#endif

}  // namespace

#if QEL_TEST_SEAMS
void seam_set_clock(double scale, std::uint32_t offset) {
  rebase(scale > 0 ? scale : 1.0);
  time_scale = scale > 0 ? scale : 1.0;
  clock_offset = offset;
  test_clock = true;
}

void seam_clear_clock() {
  rebase(1.0);
  test_clock = false;
  time_scale = 1.0;
  clock_offset = 0;
}
#endif

// The multimedia timer: milliseconds since the system started. The test
// clock counts from the process's start, scaled, plus its offset.
std::uint32_t clock_ms() {
#if QEL_TEST_SEAMS
  if (test_clock.load()) {
    double elapsed = static_cast<double>(counter_now() - process_start) * 1000.0 /
                     static_cast<double>(counter_frequency());
    auto ms = static_cast<std::uint64_t>(elapsed * time_scale.load());
    return static_cast<std::uint32_t>(ms) + clock_offset.load();
  }
#endif
  return timeGetTime();
}

std::uint32_t clock_tick() { return static_cast<std::uint32_t>(ticks_at(program_now())); }

std::uint32_t win32_tick_after(std::uint32_t milliseconds) {
  std::int64_t due =
      program_now() + static_cast<std::int64_t>(milliseconds) * counter_frequency() / 1000;
  std::uint64_t tick = ticks_at(due);
  if (counter_of_tick(tick) < due) ++tick;
  return static_cast<std::uint32_t>(tick);
}

std::int64_t win32_us_until_tick(std::uint32_t tick) {
  std::int64_t now = program_now();
  std::uint64_t current = ticks_at(now);
  auto ahead = static_cast<std::int32_t>(tick - static_cast<std::uint32_t>(current));
  if (ahead <= 0) return 0;
  return real_us(counter_of_tick(current + static_cast<std::uint64_t>(ahead)) - now);
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

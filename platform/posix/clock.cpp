#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <time.h>

#include "platform/posix/time_scale.h"
#if QEL_TEST_SEAMS
#include "platform/posix/seams.h"
#endif

namespace {

using steady = std::chrono::steady_clock;
std::mutex random_lock;
#if QEL_TEST_SEAMS
const steady::time_point process_start = steady::now();
std::atomic<double> time_scale{1.0};
std::atomic<std::uint32_t> clock_offset{0};
std::atomic<bool> test_clock{false};
#endif

// Milliseconds since the system started, like timeGetTime: what seeds the
// generator must differ from run to run.
std::uint32_t system_uptime_ms() {
  timespec now{};
  if (::clock_gettime(CLOCK_BOOTTIME, &now) != 0) ::clock_gettime(CLOCK_MONOTONIC, &now);
  auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
            static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);  // wraps after 49.7 days, as on Windows
}

}  // namespace

// ---- ticks: what every sleep and socket wait ends on ----

namespace {

constexpr double TICK_NS = 1e9 / CLOCK_TICKS_PER_SECOND;  // 15,625,000

// The program's time in nanoseconds runs from the monotonic clock, at the
// test clock's scale. A new scale takes over from the time reached, so that
// the tick count never jumps: a wait for the next tick, begun before a test
// slows the clock down again, must not last for ages.
struct TickBase {
  steady::time_point at{};  // the steady clock's epoch: the monotonic clock itself
  double program_ns = 0;
  double scale = 1.0;
};
std::mutex tick_lock;
TickBase tick_base;

double program_ns_at(const TickBase& base, steady::time_point at) {
  return base.program_ns +
         std::chrono::duration<double, std::nano>(at - base.at).count() * base.scale;
}

TickBase current_base() {
  std::lock_guard lock(tick_lock);
  return tick_base;
}

#if QEL_TEST_SEAMS
void rebase_ticks(double scale) {
  std::lock_guard lock(tick_lock);
  steady::time_point now = steady::now();
  tick_base = TickBase{now, program_ns_at(tick_base, now), scale};
}
#endif

}  // namespace

#if QEL_TEST_SEAMS
void seam_set_clock(double scale, std::uint32_t offset) {
  rebase_ticks(scale > 0 ? scale : 1.0);
  time_scale = scale > 0 ? scale : 1.0;
  clock_offset = offset;
  test_clock = true;
}

void seam_clear_clock() {
  rebase_ticks(1.0);
  test_clock = false;
  time_scale = 1.0;
  clock_offset = 0;
}

double posix_time_scale() { return time_scale.load(); }
#else
double posix_time_scale() { return 1.0; }
#endif

// The test clock counts from the process's start, scaled, plus its offset,
// so that tests place the 32-bit wrap where they need it.
std::uint32_t clock_ms() {
#if QEL_TEST_SEAMS
  if (test_clock.load()) {
    double elapsed =
        std::chrono::duration<double, std::milli>(steady::now() - process_start).count();
    auto ms = static_cast<std::uint64_t>(elapsed * time_scale.load());
    return static_cast<std::uint32_t>(ms) + clock_offset.load();
  }
#endif
  return system_uptime_ms();
}

std::uint32_t clock_tick() {
  double program = program_ns_at(current_base(), steady::now());
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(program / TICK_NS));
}

std::uint32_t posix_tick_after(std::uint32_t milliseconds) {
  double due = program_ns_at(current_base(), steady::now()) + milliseconds * 1e6;
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::ceil(due / TICK_NS)));
}

steady::time_point posix_tick_deadline(std::uint32_t tick) {
  TickBase base = current_base();
  steady::time_point now = steady::now();
  double program = program_ns_at(base, now);
  auto current = static_cast<std::uint64_t>(program / TICK_NS);
  auto ahead = static_cast<std::int32_t>(tick - static_cast<std::uint32_t>(current));
  if (ahead <= 0) return now;
  double left =
      static_cast<double>(current + static_cast<std::uint64_t>(ahead)) * TICK_NS - program;
  // A microsecond more, so that the tick has surely come when the wait ends.
  auto left_ns = static_cast<std::int64_t>(std::ceil(left / base.scale));
  return now + std::chrono::nanoseconds(left_ns + 1000);
}

void sleep_ms(std::uint32_t milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_until(posix_tick_deadline(posix_tick_after(milliseconds)));
}

// rand() is the standard library's generator; 15 bits are what the wizard
// expects of it on every platform.
void random_seed(unsigned seed) {
  std::lock_guard lock(random_lock);
  std::srand(seed);
}

int random_next() {
  std::lock_guard lock(random_lock);
  return std::rand() & 0x7fff;
}

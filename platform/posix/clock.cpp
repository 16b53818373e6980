#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <time.h>

#include "platform/posix/seams.h"
#include "platform/posix/time_scale.h"

namespace {

using steady = std::chrono::steady_clock;
const steady::time_point process_start = steady::now();
std::atomic<double> time_scale{1.0};
std::atomic<std::uint32_t> clock_offset{0};
std::atomic<bool> test_clock{false};
std::mutex random_lock;

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

void seam_set_clock(double scale, std::uint32_t offset) {
  time_scale = scale > 0 ? scale : 1.0;
  clock_offset = offset;
  test_clock = true;
}

void seam_clear_clock() {
  test_clock = false;
  time_scale = 1.0;
  clock_offset = 0;
}

double posix_time_scale() { return time_scale.load(); }

// The test clock counts from the process's start, scaled, plus its offset,
// so that tests place the 32-bit wrap where they need it.
std::uint32_t clock_ms() {
  if (!test_clock.load()) return system_uptime_ms();
  double elapsed = std::chrono::duration<double, std::milli>(steady::now() - process_start).count();
  auto ms = static_cast<std::uint64_t>(elapsed * time_scale.load());
  return static_cast<std::uint32_t>(ms) + clock_offset.load();
}

void sleep_ms(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(
      std::chrono::duration<double, std::milli>(milliseconds / time_scale.load()));
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

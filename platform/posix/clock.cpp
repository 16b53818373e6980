#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/posix/seams.h"
#include "platform/posix/time_scale.h"

namespace {

using steady = std::chrono::steady_clock;
const steady::time_point process_start = steady::now();
std::atomic<double> time_scale{1.0};
std::atomic<std::uint32_t> clock_offset{0};
std::mutex random_lock;

}  // namespace

void seam_set_clock(double scale, std::uint32_t offset) {
  time_scale = scale > 0 ? scale : 1.0;
  clock_offset = offset;
}

double posix_time_scale() { return time_scale.load(); }

std::uint32_t clock_ms() {
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

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <mutex>

#include "platform/clock.h"

namespace {

// One generator for the whole process. The C runtime's rand keeps its state
// per thread, so a generator seeded on the main thread would leave every
// worker thread (which draws the digest client nonces) on the unseeded
// default sequence. This is the runtime's own recurrence, shared under a
// lock, so the numbers are the ones rand would give after srand.
std::mutex random_lock;
std::uint32_t random_state = 1;

}  // namespace

// The multimedia timer; WinMain raises its resolution to 1 ms for the whole
// run, so the 1 ms polls and sleeps are not stretched to a scheduler tick.
std::uint32_t clock_ms() { return timeGetTime(); }

void sleep_ms(std::uint32_t milliseconds) { Sleep(milliseconds); }

void random_seed(unsigned seed) {
  std::lock_guard lock(random_lock);
  random_state = seed;
}

int random_next() {
  std::lock_guard lock(random_lock);
  random_state = random_state * 214013u + 2531011u;
  return static_cast<int>((random_state >> 16) & 0x7fff);
}

// The platform's threads (platform/thread.h) under Wine, as the wizard and
// the command line use them: a worker released just as it ends (a query
// given up at its deadline, a window thread that finds no desktop), then a
// worker released at once (the TFTP listener, the interrupt thread). MinGW's
// threads library recycles a thread's record when it is detached; detached
// after its end, the record went to the next thread while the ended one
// still used it, and that thread started without its argument or never ran.
// Two producers side by side keep both cores busy, as the lane's build does.
// Prints "FAIL ..." and exits 1 on a fault, "PASS ..." otherwise.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/thread.h"

namespace {

constexpr int ROUNDS = 4000;
constexpr DWORD RUN_LIMIT_MS = 10000;  // a started worker runs long before this

std::atomic<bool> failed{false};
std::atomic<unsigned> spun{0};

int quick(void*) { return 7; }

int mark(void* flag) {
  static_cast<std::atomic<int>*>(flag)->store(1);
  return 0;
}

DWORD WINAPI producer(void* seed_pointer) {
  unsigned seed = *static_cast<unsigned*>(seed_pointer);
  for (int round = 0; round < ROUNDS && !failed; ++round) {
    PlatformThread* ending = thread_start(quick, nullptr);
    if (!ending) {
      std::printf("FAIL a worker did not start (round %d)\n", round);
      failed = true;
      break;
    }
    seed = seed * 1103515245u + 12345u;
    // Released before, at or after its end.
    for (unsigned spin = (seed >> 16) % 2000; spin > 0; --spin)
      spun.fetch_add(1, std::memory_order_relaxed);
    int result = 0;
    if (thread_ended(ending, &result) && result != 7) {
      std::printf("FAIL a worker's result was %d, not 7\n", result);
      failed = true;
    }
    thread_release(ending);

    std::atomic<int> ran{0};
    PlatformThread* next = thread_start(mark, &ran);
    if (!next) {
      std::printf("FAIL a worker did not start (round %d)\n", round);
      failed = true;
      break;
    }
    thread_release(next);
    DWORD began = ::GetTickCount();
    while (ran.load() == 0) {
      if (::GetTickCount() - began > RUN_LIMIT_MS) {
        std::printf("FAIL a released worker never ran (round %d)\n", round);
        std::fflush(stdout);
        ::ExitProcess(1);  // its body may yet write the flag on this stack
      }
      ::Sleep(0);
    }
  }
  return 0;
}

}  // namespace

int main() {
  unsigned seeds[2] = {1, 2};
  HANDLE producers[2];
  for (int i = 0; i < 2; ++i)
    producers[i] = ::CreateThread(nullptr, 0, producer, &seeds[i], 0, nullptr);
  ::WaitForMultipleObjects(2, producers, TRUE, INFINITE);
  if (failed) return 1;
  std::printf("PASS %d workers released as they ended, each followed by one released at once\n",
              2 * ROUNDS);
  return 0;
}

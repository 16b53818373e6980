// Threads (thread.h) on the standard library's: the POSIX platform's, and
// Windows' too, whose C++ runtime keeps its thread-local data and thread
// identities right only for threads it started itself (a thread of
// CreateThread's could find another's dialog queue there).
//
// A thread whose body has returned is joined when its handle is given up;
// only one still running is detached. With every worker detached, a new
// worker of the Windows build was seen spinning for ever in its first
// thread-local read, inside MinGW's threads library, which recycles the
// records of ended threads (an exchange that never sent its SYN, under
// load). Joined, a thread's record is free only once the thread is gone.
#include "platform/thread.h"

#include <atomic>
#include <thread>

#include "platform/portable/thread_start.h"

struct PlatformThread {
  PlatformThread(ThreadBody b, void* a) : body(b), argument(a) {}
  ThreadBody body;
  void* argument;
  int result = 0;
  std::atomic<bool> ended{false};
  std::atomic<int> owners{2};  // the running thread and the handle
  std::thread runner;
};

namespace {

void drop_owner(PlatformThread* thread) {
  if (thread->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) delete thread;
}

}  // namespace

PlatformThread* thread_start(ThreadBody body, void* argument) {
  if (thread_start_refused()) return nullptr;
  auto* thread = new PlatformThread(body, argument);
  try {
    thread->runner = std::thread([thread] {
      thread->result = thread->body(thread->argument);
      thread->ended.store(true, std::memory_order_release);
      drop_owner(thread);
    });
  } catch (...) {
    delete thread;
    return nullptr;
  }
  return thread;
}

bool thread_ended(PlatformThread* thread, int* result) {
  if (!thread->ended.load(std::memory_order_acquire)) return false;
  *result = thread->result;
  return true;
}

void thread_release(PlatformThread* thread) {
  // Joining an ended thread waits only for its exit; a running one may be
  // held by a device for ever.
  if (thread->ended.load(std::memory_order_acquire))
    thread->runner.join();
  else
    thread->runner.detach();
  drop_owner(thread);
}

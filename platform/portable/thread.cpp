// Threads (thread.h) on the standard library's: the POSIX platform's, and
// Windows' too, whose C++ runtime keeps its thread-local data and thread
// identities right only for threads it started itself (a thread of
// CreateThread's could find another's dialog queue there).
#include "platform/thread.h"

#include <atomic>
#include <thread>

#include "platform/portable/thread_start.h"

struct PlatformThread {
  ThreadBody body;
  void* argument;
  int result = 0;
  std::atomic<bool> ended{false};
  std::atomic<int> owners{2};  // the running thread and the handle
};

namespace {

void drop_owner(PlatformThread* thread) {
  if (thread->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) delete thread;
}

}  // namespace

PlatformThread* thread_start(ThreadBody body, void* argument) {
  if (thread_start_refused()) return nullptr;
  auto* thread = new PlatformThread{body, argument};
  try {
    std::thread([thread] {
      thread->result = thread->body(thread->argument);
      thread->ended.store(true, std::memory_order_release);
      drop_owner(thread);
    }).detach();
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

void thread_release(PlatformThread* thread) { drop_owner(thread); }

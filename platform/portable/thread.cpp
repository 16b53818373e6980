// Threads (thread.h) on what each side launches (thread_start.h): POSIX
// threads, which both C++ runtimes here are built on, created detached.
#include "platform/thread.h"

#include <atomic>
#include <new>

#include "platform/portable/thread_start.h"

struct PlatformThread {
  PlatformThread(ThreadBody b, void* a) : body(b), argument(a) {}
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

void* run(void* argument) {
  auto* thread = static_cast<PlatformThread*>(argument);
  thread->result = thread->body(thread->argument);
  thread->ended.store(true, std::memory_order_release);
  drop_owner(thread);
  return nullptr;
}

}  // namespace

PlatformThread* thread_start(ThreadBody body, void* argument) {
  auto* thread = new (std::nothrow) PlatformThread(body, argument);
  if (thread && !thread_launch(run, thread)) {
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

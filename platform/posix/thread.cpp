#include "platform/thread.h"

#include <atomic>
#include <thread>

#if QEL_TEST_SEAMS
#include "platform/posix/seams.h"
#endif

struct PlatformThread {
  ThreadBody body;
  void* argument;
  int result = 0;
  std::atomic<bool> ended{false};
  std::atomic<int> owners{2};  // the running thread and the handle
};

namespace {

#if QEL_TEST_SEAMS
std::atomic<bool> fail_start{false};
#endif

void drop_owner(PlatformThread* thread) {
  if (thread->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) delete thread;
}

}  // namespace

#if QEL_TEST_SEAMS
void seam_fail_thread_start(bool fail) { fail_start = fail; }
#endif

PlatformThread* thread_start(ThreadBody body, void* argument) {
#if QEL_TEST_SEAMS
  if (fail_start) return nullptr;
#endif
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

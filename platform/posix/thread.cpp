// The POSIX side of the threads (portable/thread.cpp): a detached POSIX
// thread, and the test seam that makes it fail to start.
#include <pthread.h>

#include <atomic>

#include "platform/portable/thread_start.h"
#if QEL_TEST_SEAMS
#include "platform/posix/seams.h"
#endif

#if QEL_TEST_SEAMS
namespace {
std::atomic<bool> fail_start{false};
}  // namespace

void seam_fail_thread_start(bool fail) { fail_start = fail; }
#endif

bool thread_launch(void* (*entry)(void*), void* argument) {
#if QEL_TEST_SEAMS
  if (fail_start.load()) return false;
#endif
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_t id;
  bool started = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                 pthread_create(&id, &attributes, entry, argument) == 0;
  pthread_attr_destroy(&attributes);
  return started;
}

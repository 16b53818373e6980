// The POSIX side of the threads (portable/thread.cpp): the test seam that
// makes them fail to start.
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
bool thread_start_refused() { return fail_start.load(); }
#else
bool thread_start_refused() { return false; }
#endif

// The Win32 side of the threads (portable/thread.cpp): they always start
// when the system can start them.
#include "platform/portable/thread_start.h"

bool thread_start_refused() { return false; }

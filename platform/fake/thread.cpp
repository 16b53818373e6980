#include "platform/thread.h"

// No thread ever starts; a caller sees the failure it must report.
PlatformThread* thread_start(ThreadBody, void*) { return nullptr; }
bool thread_ended(PlatformThread*, int*) { return true; }
void thread_release(PlatformThread*) {}

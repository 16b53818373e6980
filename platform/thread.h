// Threads as the wizard uses them: start one, ask later whether it has ended
// and take its result; never wait for one that runs, never stop one.
#pragma once

struct PlatformThread;
using ThreadBody = int (*)(void* argument);

// Starts the body at once. Null on failure.
PlatformThread* thread_start(ThreadBody body, void* argument);

// True once the body has returned; its result is then stored. Everything the
// body wrote before returning is visible to the caller after a true answer.
bool thread_ended(PlatformThread* thread, int* result);

// Gives up the handle and waits for nothing: a thread still running goes on
// and cleans up after itself.
void thread_release(PlatformThread* thread);

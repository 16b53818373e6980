// Internal to the platform: what each side adds to the portable threads
// (portable/thread.cpp): starting one.
#pragma once

// Runs entry(argument) on a new thread created detached, which frees its
// own resources when it ends: no one joins or detaches it afterwards. False
// when it cannot start (or a test seam of the POSIX side says so).
bool thread_launch(void* (*entry)(void*), void* argument);

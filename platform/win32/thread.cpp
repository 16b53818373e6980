// The Win32 side of the threads (portable/thread.cpp): a thread of MinGW's
// threads library, which the C++ runtime is built on here and which keeps
// its thread-local data and thread identities right only for threads it
// started itself (a thread of CreateThread's could find another's dialog
// queue there).
//
// Created detached, as the library's own safe path: it reuses an ended
// thread's record for the next thread it starts, and detaching a thread
// that had just ended gave its record away while that thread still wrote
// to it; the next thread then started without its argument or never ran
// (a null read in a query worker, a worker spinning in its first
// thread-local read).
#include <pthread.h>

#include "platform/portable/thread_start.h"

bool thread_launch(void* (*entry)(void*), void* argument) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_t id;
  bool started = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                 pthread_create(&id, &attributes, entry, argument) == 0;
  pthread_attr_destroy(&attributes);
  return started;
}

#include <windows.h>

#include "platform/thread.h"

struct PlatformThread {
  HANDLE handle;
};

namespace {

// Owned by the new thread, which frees it once it has read it: the handle
// may be released before the thread ever runs.
struct StartBlock {
  ThreadBody body;
  void* argument;
};

DWORD WINAPI thread_entry(LPVOID parameter) {
  auto* start = static_cast<StartBlock*>(parameter);
  ThreadBody body = start->body;
  void* argument = start->argument;
  delete start;
  return static_cast<DWORD>(body(argument));
}

}  // namespace

PlatformThread* thread_start(ThreadBody body, void* argument) {
  auto* start = new StartBlock{body, argument};
  DWORD id;
  HANDLE handle = CreateThread(nullptr, 0, thread_entry, start, 0, &id);
  if (!handle) {
    delete start;
    return nullptr;
  }
  return new PlatformThread{handle};
}

// Judged from the thread object, never from the exit code: a body may well
// return 259, which GetExitCodeThread also gives for a running thread. The
// wait on the signalled thread orders everything the body wrote before it.
bool thread_ended(PlatformThread* thread, int* result) {
  if (WaitForSingleObject(thread->handle, 0) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeThread(thread->handle, &code);
  *result = static_cast<int>(code);
  return true;
}

void thread_release(PlatformThread* thread) {
  CloseHandle(thread->handle);
  delete thread;
}

#include "platform/process.h"

#include <cstdio>
#include <cstdlib>

namespace {
ProcessExitHook exit_hook = nullptr;
}

int window_class_register(AppInstance) { return 1; }
void common_controls_init() {}
const char* process_bind_privilege_hint() { return ""; }

void process_set_exit_hook(ProcessExitHook hook) { exit_hook = hook; }

// No input may end the run: an exit is a fault, after the hook has seen it.
void process_exit(int code) {
  if (exit_hook) exit_hook(code);
  std::fprintf(stderr, "unexpected process exit (%d)\n", code);
  std::abort();
}

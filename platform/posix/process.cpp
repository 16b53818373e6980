#include "platform/process.h"

#include <atomic>
#include <cstdio>
#include <unistd.h>

#include "platform/posix/seams.h"

namespace {
std::atomic<ExitHook> exit_hook{nullptr};
}

void seam_set_exit_hook(ExitHook hook) { exit_hook = hook; }

// There are no window classes here; registration always succeeds.
int window_class_register(AppInstance) { return 1; }

void common_controls_init() {}

void process_exit(int code) {
  if (ExitHook hook = exit_hook.load()) hook(code);
  std::fflush(nullptr);
  // Other threads may still be inside the wizard: end without running
  // destructors under their feet.
  ::_exit(code);
}

#include "platform/process.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {
std::atomic<ProcessExitHook> exit_hook{nullptr};
}

void process_set_exit_hook(ProcessExitHook hook) { exit_hook = hook; }

// There are no window classes here; registration always succeeds.
int window_class_register(AppInstance) { return 1; }

void common_controls_init() {}

// The command names the program where it really is, on a line of its own so
// that no renderer breaks it inside the path.
const char* process_bind_privilege_hint() {
  static std::once_flag once;
  static std::string hint;
  std::call_once(once, [] {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string program = n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "qel-upgrade";
    // Quoted for the shell when it holds anything but the usual path characters.
    if (program.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                  "0123456789/._-+") != std::string::npos) {
      std::string quoted = "'";
      for (char c : program) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
      program = quoted + "'";
    }
    hint =
        "UDP ports 69-168 need root, or give this program the right once:\r\n"
        "sudo setcap cap_net_bind_service=+ep " +
        program;
  });
  return hint.c_str();
}

void process_exit(int code) {
  if (ProcessExitHook hook = exit_hook.load()) hook(code);
  std::fflush(nullptr);
  // Other threads may still be inside the wizard: end without running
  // destructors under their feet.
  ::_exit(code);
}

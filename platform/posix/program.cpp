// The running program on POSIX (program.h).
#include "platform/program.h"

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

namespace sys {

namespace {

sigset_t interrupt_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}

}  // namespace

std::vector<std::string> program_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

SystemKind system_kind() { return SystemKind::POSIX; }

std::string error_text(int code) { return std::strerror(code); }

int last_error() { return errno; }

std::string self_path() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "qel-upgrade";
}

void catch_interrupts() {
  // Every thread started from here on inherits the blocked signals, so only
  // wait_interrupt sees them.
  sigset_t signals = interrupt_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

bool wait_interrupt(int timeout_ms) {
  sigset_t signals = interrupt_signals();
  timespec step{timeout_ms / 1000, (timeout_ms % 1000) * 1000L * 1000L};
  return ::sigtimedwait(&signals, nullptr, &step) > 0;
}

bool tie_to_parent() {
  // The fleet that started this run may die without a word: then end too,
  // as at Ctrl-C. Set again here because running a program with file
  // capabilities clears it.
  pid_t parent = ::getppid();
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  return ::getppid() == parent;
}

void end_process(int code) { ::_exit(code); }

}  // namespace sys

// A fleet's child on POSIX: forked and executed, in a process group of its
// own (the terminal's Ctrl-C reaches the fleet only, which decides), with
// only descriptors 0..2 (standard input /dev/null, the others pipes to the
// fleet), ended with the fleet by the parent-death signal. One thread per
// child reads both pipes and then waits for it.
#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

namespace sys {

void (*fleet_child_test_pause)() = nullptr;

namespace {

const int HANDLED[] = {SIGINT, SIGTERM, SIGHUP};

int signal_pipe[2] = {-1, -1};

void on_signal(int number) {
  int saved = errno;
  char byte = static_cast<char>(number);
  [[maybe_unused]] ssize_t n = ::write(signal_pipe[1], &byte, 1);
  errno = saved;
}

// The fleet's signals are taken by the handler on the fleet's thread: the
// helper threads never see them (a read cut short, a handler run twice).
void block_handled_signals() {
  sigset_t handled;
  sigemptyset(&handled);
  for (int s : HANDLED) sigaddset(&handled, s);
  ::pthread_sigmask(SIG_BLOCK, &handled, nullptr);
}

void forward_signals(FleetEvents* events) {
  block_handled_signals();
  for (;;) {
    char number;
    ssize_t n = ::read(signal_pipe[0], &number, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n != 1) return;
    FleetEvent event;
    event.kind = number == SIGINT ? FleetEvent::INTERRUPT : FleetEvent::TERMINATE;
    events->push(std::move(event));
  }
}

void watch_child(pid_t pid, int out_fd, int err_fd, std::size_t id, FleetEvents* events) {
  block_handled_signals();
  int fds[2] = {out_fd, err_fd};
  while (fds[0] >= 0 || fds[1] >= 0) {
    pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    if (::poll(polled, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || !(polled[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char chunk[4096];
      ssize_t n = ::read(fds[i], chunk, sizeof chunk);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        ::close(fds[i]);
        fds[i] = -1;
        continue;
      }
      FleetEvent event;
      event.kind = i == 0 ? FleetEvent::OUTPUT : FleetEvent::ERRORS;
      event.child = id;
      event.bytes.assign(chunk, static_cast<std::size_t>(n));
      events->push(std::move(event));
    }
  }
  for (int fd : fds)
    if (fd >= 0) ::close(fd);
  // Its output is closed at both ends: it has ended, or is ending.
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  FleetEvent event;
  event.kind = FleetEvent::EXITED;
  event.child = id;
  if (WIFSIGNALED(status))
    event.exit.signal = WTERMSIG(status);
  else
    event.exit.code = WEXITSTATUS(status);
  events->push(std::move(event));
}

}  // namespace

struct ChildProcess::Impl {
  pid_t pid = -1;
  std::thread watcher;
};

ChildProcess::ChildProcess() = default;
ChildProcess::ChildProcess(ChildProcess&& other) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept = default;

ChildProcess::~ChildProcess() {
  if (!running()) return;
  kill();
  reap();
}

bool ChildProcess::running() const { return impl_ && impl_->pid > 0; }

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         std::size_t id, FleetEvents* events, std::string* error) {
  // Everything the child needs is made before the fork: other threads may
  // hold the allocator's lock at that moment.
  std::vector<std::string> copies = args;
  std::vector<char*> argv;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    ::close(out[0]);
    ::close(out[1]);
    return false;
  }
  std::fflush(nullptr);
  pid_t parent = ::getpid();
  // Until the child has its own handlers, a signal must not run the fleet's
  // there (a Ctrl-C counted twice, an abort lost): blocked around the fork.
  sigset_t handled, before;
  sigemptyset(&handled);
  for (int s : HANDLED) sigaddset(&handled, s);
  ::pthread_sigmask(SIG_BLOCK, &handled, &before);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (fleet_child_test_pause) fleet_child_test_pause();
    // Ends with the fleet, however the fleet ends (the upgrade arms this
    // again after exec, which a program with capabilities clears).
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) _exit(127);
    ::setpgid(0, 0);
    int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    // Whatever the fleet itself inherited stays with the fleet.
    ::close_range(3, ~0u, 0);
    // What came meanwhile: the fleet's own (an abort, a time limit, its
    // end) take effect once the handlers are the default ones; what the
    // terminal sent to the fleet's group before setpgid was the fleet's.
    bool from_fleet[NSIG] = {};
    siginfo_t info;
    timespec now{0, 0};
    for (int s; (s = ::sigtimedwait(&handled, &info, &now)) > 0;)
      from_fleet[s] = from_fleet[s] || info.si_pid == parent;
    for (int s : HANDLED) std::signal(s, SIG_DFL);
    if (::getppid() != parent) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : HANDLED)
      if (from_fleet[s]) ::raise(s);
    ::execv(program.c_str(), argv.data());
    _exit(127);
  }
  int saved = errno;
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    *error = std::strerror(saved);
    ::close(out[0]);
    ::close(err[0]);
    return false;
  }
  ::setpgid(pid, pid);  // also here, so a signal sent at once finds the group
  impl_ = std::make_unique<Impl>();
  impl_->pid = pid;
  try {
    impl_->watcher = std::thread(watch_child, pid, out[0], err[0], id, events);
  } catch (const std::system_error& e) {
    *error = e.what();
    ::kill(-pid, SIGKILL);
    ::close(out[0]);
    ::close(err[0]);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    impl_.reset();
    return false;
  }
  return true;
}

void ChildProcess::cancel(CancelReason reason) {
  if (running()) ::kill(-impl_->pid, reason == CancelReason::ABORT ? SIGINT : SIGTERM);
}

void ChildProcess::kill() {
  if (running()) ::kill(-impl_->pid, SIGKILL);
}

void ChildProcess::reap() {
  if (!impl_) return;
  if (impl_->watcher.joinable()) impl_->watcher.join();
  impl_->pid = -1;
}

std::string child_exit_text(const ChildExit& how) {
  return how.signal ? "killed by signal " + std::to_string(how.signal)
                    : "exit status " + std::to_string(how.code);
}

bool ended_by_abort(const ChildExit& how) { return how.signal == SIGINT; }

bool deliver_interrupts(FleetEvents* events, std::string* error) {
  // The handler's end never blocks; the forwarding thread's does.
  if (::pipe2(signal_pipe, O_CLOEXEC) != 0 || ::fcntl(signal_pipe[1], F_SETFL, O_NONBLOCK) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  try {
    std::thread(forward_signals, events).detach();
  } catch (const std::system_error& e) {
    *error = e.what();
    return false;
  }
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int s : HANDLED) ::sigaction(s, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

void watch_fleet(void (*)()) {}

}  // namespace sys

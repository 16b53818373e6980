#include "frontends/admin/fleet_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <sstream>

namespace admin {

void (*fleet_child_test_pause)() = nullptr;

namespace {

const int HANDLED[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

bool start_child(const std::string& program, std::vector<std::string> args, Child* child) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  if (::pipe2(err, O_CLOEXEC) != 0) {
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
  ::sigprocmask(SIG_BLOCK, &handled, &before);
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
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    _exit(127);
  }
  int saved = errno;
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
  errno = saved;
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    ::close(out[0]);
    ::close(err[0]);
    return false;
  }
  ::setpgid(pid, pid);  // also here, so a signal sent at once finds the group
  *child = {pid, out[0], err[0]};
  return true;
}

std::string json_text(const nlohmann::ordered_json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

bool last_json(const std::string& out, nlohmann::ordered_json* object) {
  std::istringstream lines(out);
  std::string line;
  bool found = false;
  while (std::getline(lines, line)) {
    auto parsed = nlohmann::ordered_json::parse(line, nullptr, false);
    if (!parsed.is_discarded() && parsed.is_object()) {
      *object = parsed;
      found = true;
    }
  }
  return found;
}

}  // namespace admin

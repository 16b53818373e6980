#include "support/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <thread>

namespace simtest {

namespace {

using Clock = std::chrono::steady_clock;

// The exit status as the tests read it: the code, or -1 after a signal.
int code_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

Process::Process(const std::vector<std::string>& argv, Streams streams) {
  // Made before the fork: the child of a threaded process must not allocate.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  start(
      [&] {
        ::execvp(args[0], args.data());
        // "PROGRAM: cannot run FILE: REASON", without stdio's locks.
        const char* reason = std::strerror(errno);
        for (const char* part : std::initializer_list<const char*>{
                 program_invocation_short_name, ": cannot run ", args[0], ": ", reason, "\n"})
          if (::write(2, part, std::strlen(part)) < 0) break;
        ::_exit(127);
      },
      streams);
}

Process::Process(const std::function<int()>& body) {
  start(
      [&] {
        int code = 127;
        try {
          code = body();
        } catch (...) {  // never back into the parent's code in this copy
        }
        ::_exit(code);
      },
      Streams{});
}

void Process::start(const std::function<void()>& child, Streams streams) {
  int pipe_fds[2] = {-1, -1};
  if (streams.output == Output::pipe && ::pipe2(pipe_fds, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    int null = -1;
    if (streams.null_input || streams.output == Output::discard || streams.discard_errors)
      null = ::open("/dev/null", O_RDWR);
    if (streams.null_input) ::dup2(null, 0);
    if (streams.output == Output::pipe) ::dup2(pipe_fds[1], 1);
    if (streams.output == Output::discard) ::dup2(null, 1);
    if (streams.discard_errors) ::dup2(null, 2);
    child();
    ::_exit(127);
  }
  if (streams.output == Output::pipe) {
    ::close(pipe_fds[1]);
    output_ = pipe_fds[0];
  }
}

Process::~Process() {
  if (!ended_) {
    ::kill(pid_, SIGKILL);
    reap(0);
  }
  close_output();
}

std::string Process::read_line(std::chrono::milliseconds timeout) {
  std::string line;
  auto deadline = Clock::now() + timeout;
  char c;
  while (output_ >= 0 && Clock::now() < deadline) {
    pollfd p{output_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    if (::read(output_, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return line;
}

std::string Process::read_all() {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while (output_ >= 0 && (n = ::read(output_, buffer, sizeof buffer)) > 0)
    text.append(buffer, size_t(n));
  return text;
}

void Process::close_output() {
  if (output_ >= 0) ::close(output_);
  output_ = -1;
}

bool Process::reap(int options) {
  int status = 0;
  pid_t r = ::wait4(pid_, &status, options, &usage_);
  if (r == 0) return false;
  ended_ = true;
  exit_code_ = r == pid_ ? code_of(status) : -1;
  return true;
}

bool Process::wait(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!ended_ && !reap(WNOHANG)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

int Process::wait() {
  if (!ended_) reap(0);
  return exit_code_;
}

int Process::finish(std::chrono::milliseconds timeout) {
  if (!wait(timeout)) {
    ::kill(pid_, SIGKILL);
    reap(0);
    exit_code_ = -1;
  }
  return exit_code_;
}

int Process::stop(std::chrono::milliseconds timeout) {
  if (!ended_) ::kill(pid_, SIGTERM);
  return finish(timeout);
}

int run_program(const std::vector<std::string>& argv, std::string* out) {
  Process program(argv, {.output = Output::pipe});
  std::string text = program.read_all();
  if (out) *out = text;
  return program.wait();
}

std::uint16_t read_port_file(const std::string& path, const std::string& key) {
  std::string text = read_text(path);
  if (text.rfind(key + "=", 0) != 0) return 0;
  return static_cast<std::uint16_t>(std::strtoul(text.c_str() + key.size() + 1, nullptr, 10));
}

std::uint16_t wait_port_file(const std::string& path, const std::string& key, Process& program,
                             std::chrono::milliseconds timeout) {
  wait_until([&] { return read_port_file(path, key) != 0 || program.wait(0ms); }, timeout);
  return read_port_file(path, key);
}

}  // namespace simtest

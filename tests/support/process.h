// Child processes of the tests and the benchmark: the simulator, the relay,
// the scripted wizard, the TFTP peers.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/slowness.h"

namespace simtest {

// Where a child's standard output goes.
enum class Output { inherit, discard, pipe };

struct Streams {
  bool null_input = false;          // standard input from /dev/null rather than ours
  Output output = Output::inherit;  // Output::pipe: read it with read_line() or read_all()
  bool discard_errors = false;      // standard error to /dev/null rather than ours
};

// A child process; killed (SIGKILL) and reaped if it still runs when this
// object goes.
class Process {
 public:
  // Runs argv[0], looked up in PATH when it has no slash. When it cannot be
  // run, the child says so on its standard error and ends with 127.
  explicit Process(const std::vector<std::string>& argv, Streams streams = {});
  // Runs body in a forked copy of this process; its result is the exit code.
  explicit Process(const std::function<int()>& body);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }

  // One line of its standard output within the time, without the newline;
  // what came of it when the time runs out or the output ends first.
  std::string read_line(std::chrono::milliseconds timeout);
  // Its standard output to the end.
  std::string read_all();
  // Closes our end of its standard output.
  void close_output();

  // Waits up to timeout for it to end by itself; true once it has.
  bool wait(std::chrono::milliseconds timeout);
  // Waits for it to end, however long that takes; its exit code.
  int wait();
  // Waits up to timeout, then kills it; its exit code.
  int finish(std::chrono::milliseconds timeout);
  // SIGTERM, then finish(timeout).
  int stop(std::chrono::milliseconds timeout = patient(10s));

  bool ended() const { return ended_; }
  // Once it ended: its exit code (-1 after a signal) and what it used.
  int exit_code() const { return exit_code_; }
  const rusage& usage() const { return usage_; }

 private:
  void start(const std::function<void()>& child, Streams streams);
  bool reap(int options);

  pid_t pid_ = -1;
  int output_ = -1;
  bool ended_ = false;
  int exit_code_ = -1;
  rusage usage_{};
};

// Runs a program to its end and returns its exit code; its standard output
// goes to *out when given.
int run_program(const std::vector<std::string>& argv, std::string* out = nullptr);

// Port files: a program that listens on a port it chose writes "KEY=PORT"
// there once it listens (the simulator "http=", the relay "port=").
// The port, or 0 while the file does not say it.
std::uint16_t read_port_file(const std::string& path, const std::string& key);
// Waits up to timeout for the port; 0 when it did not come or the program
// ended first.
std::uint16_t wait_port_file(const std::string& path, const std::string& key, Process& program,
                             std::chrono::milliseconds timeout);

}  // namespace simtest

// qel-bench's parts: main.cpp reads the command line, transfer.cpp times
// downloads and the resends, idle.cpp measures what the waits cost, and
// process.cpp holds what they share. Child processes and temporary folders
// are tests/support's.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/process.h"

namespace bench {

constexpr std::uint32_t LOOPBACK = 0x7f000001;

long long now_ns();
// Ends the benchmark with the reason (main() prints it and exits with 1).
[[noreturn]] void fail(const std::string& why);

struct Stats {
  double median = 0, min = 0, max = 0;
};
Stats stats_of(std::vector<double> v);

// How qel-bench-serve runs: its standard output to us, its errors to ours.
inline constexpr simtest::Streams SERVE_STREAMS{.null_input = true,
                                                .output = simtest::Output::pipe};
// The port a qel-bench-serve says it serves on ("port N", within 10 s);
// ends the benchmark when it does not.
int serve_port(simtest::Process& serve);

// CPU time in ns: the whole process (ended threads included) and its main
// thread alone.
struct CpuSample {
  long long at = 0;
  long long process = 0;
  long long main_thread = 0;
};
bool sample_cpu(pid_t pid, CpuSample* out);
long long thread_cpu_ns();

struct WindowCost {
  double seconds = 0;
  double percent = 0;       // of one core, whole process
  double main_percent = 0;  // the main thread's share
  bool valid = false;
};
// The cost between the first sample after from and the last before to.
WindowCost cost_between(const std::vector<CpuSample>& samples, long long from, long long to);

// The modes of the command line.
int run_transfer(const std::string& serve, int rounds, int hpa_port);
int run_timing(const std::string& serve, bool until_given_up);
int run_idle(const std::string& harness, const std::string& sim, int wait_seconds);
int run_floor(int seconds);
int run_fleet_wait(const std::string& upgrade, int seconds);

}  // namespace bench

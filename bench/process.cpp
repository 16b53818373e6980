// What the parts share: the clock, failing, statistics, qel-bench-serve's
// start, and a process's CPU time.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "bench.h"
#include "support/files.h"

namespace bench {

long long now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void fail(const std::string& why) { throw std::runtime_error(why); }

Stats stats_of(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  s.min = v.front();
  s.max = v.back();
  return s;
}

int serve_port(simtest::Process& serve) {
  using namespace std::chrono_literals;
  std::string line = serve.read_line(10s);
  serve.close_output();
  int port = 0;
  if (std::sscanf(line.c_str(), "port %d", &port) != 1) {
    serve.finish(100ms);
    fail("qel-bench-serve did not start (\"" + line + "\")");
  }
  return port;
}

bool sample_cpu(pid_t pid, CpuSample* out) {
  clockid_t clock;
  timespec t;
  if (::clock_getcpuclockid(pid, &clock) != 0 || ::clock_gettime(clock, &t) != 0) return false;
  out->at = now_ns();
  out->process = t.tv_sec * 1000000000LL + t.tv_nsec;
  std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/schedstat";
  out->main_thread = std::atoll(simtest::read_text(path).c_str());
  return true;
}

long long thread_cpu_ns() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

WindowCost cost_between(const std::vector<CpuSample>& samples, long long from, long long to) {
  const CpuSample* first = nullptr;
  const CpuSample* last = nullptr;
  for (const CpuSample& s : samples) {
    if (s.at >= from && !first) first = &s;
    if (s.at <= to) last = &s;
  }
  WindowCost w;
  if (!first || !last || last->at - first->at < 2000000000LL) return w;
  double wall = static_cast<double>(last->at - first->at);
  w.seconds = wall / 1e9;
  w.percent = 100.0 * static_cast<double>(last->process - first->process) / wall;
  w.main_percent = 100.0 * static_cast<double>(last->main_thread - first->main_thread) / wall;
  w.valid = true;
  return w;
}

}  // namespace bench

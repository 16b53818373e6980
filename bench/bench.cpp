// qel-bench: measurements of the wizard's TFTP server and of its idle cost.
// scripts/bench.sh runs it inside a private network namespace; every address
// used here is on loopback.
//
//   qel-bench transfer --serve BIN [--rounds N] [--hpa-port PORT]
//       The embedded Target image downloaded by curl and by atftp (512-byte
//       blocks) from our listener (qel-bench-serve, a fresh process per
//       download) and from tftpd-hpa, alternating, timed on the client's side.
//   qel-bench idle --harness BIN --sim BIN [--wait-seconds S]
//       A whole scripted upgrade at real speed against the simulated device,
//       whose read request comes S seconds late: CPU time of the program
//       while its waiting dialog is up and during the 30-second wait after the
//       transfer, and the program's peak resident memory.
//   qel-bench floor [--seconds S]
//       What the waits themselves cost on this machine: the listener's idle
//       pass (a receive, then waiting for the socket until the next timer
//       tick) and the main thread's 10 ms sleep, without any dialog.
//   qel-bench timing --serve BIN
//       The resend timing at real speed: our listener (qel-bench-serve) and a
//       device played here that leaves one block unacknowledged, then falls
//       silent for good: when the block comes again, how often it is resent
//       and when the transfer is given up.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "frontends/scripted/script.h"
#include "frontends/scripted/scripted_frontend.h"
#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/net.h"
#include "platform/posix/frontend.h"

namespace {

constexpr std::uint32_t LOOPBACK = 0x7f000001;
constexpr int IMAGE_BLOCKS = 1702;  // 871,243 bytes in 512-byte blocks

// ---- small helpers ----

long long now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "qel-bench: %s\n", why.c_str());
  std::exit(1);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) fail("cannot write " + path);
}

std::string make_temp_dir() {
  char pattern[] = "/tmp/qel-bench-XXXXXX";
  if (!::mkdtemp(pattern)) fail("cannot make a temporary folder");
  ::chmod(pattern, 0755);  // tftpd-hpa reads from it
  return pattern;
}

struct Stats {
  double median = 0, min = 0, max = 0;
};

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

// ---- child processes ----

struct Child {
  pid_t pid = -1;
  int out = -1;  // its standard output, when asked for
};

// Starts a program; its standard output goes to a pipe when want_output,
// else (with its standard error) to /dev/null unless keep_stderr.
Child spawn(const std::vector<std::string>& args, bool want_output, bool keep_stderr = true) {
  int pipe_fds[2] = {-1, -1};
  if (want_output && ::pipe2(pipe_fds, O_CLOEXEC) != 0) fail("pipe");
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(want_output ? pipe_fds[1] : null, 1);
    if (!keep_stderr) ::dup2(null, 2);
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "qel-bench: cannot run %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(127);
  }
  Child child;
  child.pid = pid;
  if (want_output) {
    ::close(pipe_fds[1]);
    child.out = pipe_fds[0];
  }
  return child;
}

// Waits for the child up to timeout_ms, then kills it. Returns the exit code
// (-1 after a signal or the kill); fills usage when given.
int wait_child(pid_t pid, int timeout_ms, rusage* usage = nullptr) {
  long long deadline = now_ns() + timeout_ms * 1000000LL;
  int status = 0;
  rusage local{};
  for (;;) {
    pid_t r = ::wait4(pid, &status, WNOHANG, &local);
    if (r == pid) break;
    if (r < 0) return -1;
    if (now_ns() > deadline) {
      ::kill(pid, SIGKILL);
      ::wait4(pid, &status, 0, &local);
      return -1;
    }
    ::usleep(1000);
  }
  if (usage) *usage = local;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One line of the child's output within the time; empty if none.
std::string read_line(int fd, int timeout_ms) {
  std::string line;
  long long deadline = now_ns() + timeout_ms * 1000000LL;
  char c;
  while (now_ns() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    if (::read(fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return line;
}

// ---- loopback round trip ----

// Median time for a 516-byte datagram out and a 4-byte answer back, the
// exchange of one DATA block and its ACK, between two processes.
double loopback_round_trip_us(int exchanges) {
  int a = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int b = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(LOOPBACK);
  socklen_t length = sizeof sa;
  sockaddr_in sb = sa;
  if (::bind(a, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::bind(b, reinterpret_cast<sockaddr*>(&sb), sizeof sb) != 0)
    fail("cannot bind on loopback");
  ::getsockname(a, reinterpret_cast<sockaddr*>(&sa), &length);
  ::getsockname(b, reinterpret_cast<sockaddr*>(&sb), &length);
  const int total = exchanges + 200;  // the first 200 warm up
  pid_t echo = ::fork();
  if (echo == 0) {
    char buffer[1024];
    for (int i = 0; i < total; ++i) {
      if (::recv(b, buffer, sizeof buffer, 0) < 0) ::_exit(1);
      ::sendto(b, buffer, 4, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    ::_exit(0);
  }
  char block[516] = {0, 3};
  std::vector<double> times;
  for (int i = 0; i < total; ++i) {
    long long start = now_ns();
    ::sendto(a, block, sizeof block, 0, reinterpret_cast<sockaddr*>(&sb), sizeof sb);
    char answer[16];
    if (::recv(a, answer, sizeof answer, 0) < 0) fail("round trip: no answer");
    if (i >= 200) times.push_back((now_ns() - start) / 1e3);
  }
  wait_child(echo, 5000);
  ::close(a);
  ::close(b);
  return stats_of(times).median;
}

// ---- transfer benchmark ----

struct Client {
  std::string name;
  // The client's arguments for a port; OUT stands for the output file.
  std::vector<std::string> (*command)(const std::string& file_name, int port,
                                      const std::string& out);
};

std::vector<std::string> curl_command(const std::string& file_name, int port,
                                      const std::string& out) {
  // Two slashes: curl drops the first one of the path. It asks for
  // 512-byte blocks by itself (blksize 512, tsize, timeout).
  return {"curl",
          "--silent",
          "--show-error",
          "--max-time",
          "60",
          "--tftp-blksize",
          "512",
          "-o",
          out,
          "tftp://127.0.0.1:" + std::to_string(port) + "/" + file_name};
}

std::vector<std::string> atftp_command(const std::string& file_name, int port,
                                       const std::string& out) {
  // No options: 512-byte blocks.
  return {"atftp", "-g", "-r", file_name, "-l", out, "127.0.0.1", std::to_string(port)};
}

struct Download {
  double ms = 0;
  bool ok = false;
};

Download timed_download(const Client& client, const std::string& file_name, int port,
                        const std::string& out, const std::string& expected,
                        bool keep_stderr = true) {
  ::unlink(out.c_str());
  std::vector<std::string> args = client.command(file_name, port, out);
  long long start = now_ns();
  Child c = spawn(args, false, keep_stderr);
  int code = wait_child(c.pid, 90000);
  Download d;
  d.ms = (now_ns() - start) / 1e6;
  d.ok = code == 0 && read_file(out) == expected;
  return d;
}

// One download from a fresh listener process; the listener must end by
// itself after the transfer, as the wizard does.
Download download_from_ours(const std::string& serve, const Client& client,
                            const std::string& file_name, const std::string& out,
                            const std::string& expected) {
  Child server = spawn({serve, file_name}, true);
  std::string line = read_line(server.out, 10000);
  ::close(server.out);
  int port = 0;
  if (std::sscanf(line.c_str(), "port %d", &port) != 1) {
    wait_child(server.pid, 100);
    fail("qel-bench-serve did not start (\"" + line + "\")");
  }
  Download d = timed_download(client, file_name, port, out, expected);
  if (wait_child(server.pid, 30000) != 0) {
    std::fprintf(stderr, "qel-bench: our listener did not end cleanly after a %s download\n",
                 client.name.c_str());
    d.ok = false;
  }
  return d;
}

int run_transfer(const std::string& serve, int rounds, int hpa_port) {
  std::string dir = make_temp_dir();
  std::string root = dir + "/root";
  ::mkdir(root.c_str(), 0755);
  // A name of the wizard's kind, "/qel%x.bi1".
  char file_name[32];
  std::snprintf(file_name, sizeof file_name, "/qel%x.bi1",
                static_cast<unsigned>(now_ns() & 0x7fff));
  std::string image_path = root + file_name;
  if (wait_child(spawn({serve, "--write-image", image_path}, false).pid, 10000) != 0)
    fail("cannot write the embedded image");
  ::chmod(image_path.c_str(), 0644);
  const std::string image = read_file(image_path);
  const std::string out = dir + "/download.bin";

  // In a namespace with nothing but loopback tftpd-hpa cannot resolve
  // "127.0.0.1:PORT" (exit code 66); any address of IPv4 there is loopback.
  Child hpa = spawn(
      {"in.tftpd", "-4", "-L", "-u", "root", "-s", root, "-a", ":" + std::to_string(hpa_port)},
      false);
  const std::vector<Client> clients = {{"curl", curl_command}, {"atftp", atftp_command}};

  // tftpd-hpa is up once a download works; these and one download of each
  // kind from ours warm the caches and are not counted.
  bool hpa_up = false;
  for (int i = 0; i < 50 && !hpa_up; ++i) {
    hpa_up = timed_download(clients[1], file_name, hpa_port, out, image, false).ok;
    if (!hpa_up) ::usleep(100000);
  }
  if (!hpa_up) fail("tftpd-hpa does not serve on port " + std::to_string(hpa_port));
  for (const Client& c : clients) {
    if (!download_from_ours(serve, c, file_name, out, image).ok)
      fail(c.name + " could not download from our listener");
    if (!timed_download(c, file_name, hpa_port, out, image).ok)
      fail(c.name + " could not download from tftpd-hpa");
  }

  // Round r: curl from ours, curl from tftpd-hpa, atftp from ours, atftp
  // from tftpd-hpa.
  std::map<std::string, std::vector<double>> ours, theirs;
  int failures = 0;
  for (int r = 0; r < rounds; ++r) {
    for (const Client& c : clients) {
      Download a = download_from_ours(serve, c, file_name, out, image);
      Download b = timed_download(c, file_name, hpa_port, out, image);
      if (a.ok) ours[c.name].push_back(a.ms);
      if (b.ok) theirs[c.name].push_back(b.ms);
      failures += !a.ok + !b.ok;
      std::printf("  round %2d  %-5s  ours %7.1f ms%s   tftpd-hpa %7.1f ms%s\n", r + 1,
                  c.name.c_str(), a.ms, a.ok ? "" : " (FAILED)", b.ms, b.ok ? "" : " (FAILED)");
      std::fflush(stdout);
    }
  }
  ::kill(hpa.pid, SIGTERM);
  wait_child(hpa.pid, 5000);

  double rtt = loopback_round_trip_us(5000);
  std::printf(
      "\nTransfer of the embedded Target image (%zu bytes, %d blocks of 512 bytes), "
      "client wall time, %d rounds:\n",
      image.size(), IMAGE_BLOCKS, rounds);
  std::printf("  %-6s %-10s %9s %9s %9s   %s\n", "client", "server", "median", "min", "max",
              "ours/tftpd-hpa (medians)");
  for (const Client& c : clients) {
    Stats a = stats_of(ours[c.name]);
    Stats b = stats_of(theirs[c.name]);
    std::printf("  %-6s %-10s %6.1f ms %6.1f ms %6.1f ms\n", c.name.c_str(), "ours", a.median,
                a.min, a.max);
    std::printf("  %-6s %-10s %6.1f ms %6.1f ms %6.1f ms   %.2f %s\n", c.name.c_str(), "tftpd-hpa",
                b.median, b.min, b.max, b.median > 0 ? a.median / b.median : 0.0,
                b.median > 0 && a.median <= 1.1 * b.median ? "(goal <= 1.10: met)"
                                                           : "(goal <= 1.10: MISSED)");
  }
  std::printf("  loopback UDP round trip (516 bytes out, 4 back), median of 5000: %.1f us\n", rtt);
  std::printf("  lock-step limit: %.1f us x %d blocks = %.1f ms\n", rtt, IMAGE_BLOCKS,
              rtt * IMAGE_BLOCKS / 1000);
  if (failures) std::printf("  %d downloads FAILED and are left out\n", failures);

  ::unlink(out.c_str());
  ::unlink(image_path.c_str());
  ::rmdir(root.c_str());
  ::rmdir(dir.c_str());
  return failures ? 1 : 0;
}

// ---- idle cost of a whole scripted run ----

// CPU time in ns: the whole process (ended threads included) and its main
// thread alone.
struct CpuSample {
  long long at = 0;
  long long process = 0;
  long long main_thread = 0;
};

bool sample_cpu(pid_t pid, CpuSample* out) {
  clockid_t clock;
  timespec t;
  if (::clock_getcpuclockid(pid, &clock) != 0 || ::clock_gettime(clock, &t) != 0) return false;
  out->at = now_ns();
  out->process = t.tv_sec * 1000000000LL + t.tv_nsec;
  std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/schedstat";
  out->main_thread = std::atoll(read_file(path).c_str());
  return true;
}

struct Phase {
  long long begin = 0, end = 0;  // when the driver saw the events (ns)
};

struct WindowCost {
  double seconds = 0;
  double percent = 0;       // of one core, whole process
  double main_percent = 0;  // the main thread's share
  bool valid = false;
};

// The cost between the first sample after from and the last before to.
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

int run_idle(const std::string& harness, const std::string& sim, int wait_seconds) {
  std::string dir = make_temp_dir();
  Child device = spawn(
      {sim, "--address", "127.0.0.2", "--http-port", "80", "--reboot-seconds", "5", "--time-limit",
       std::to_string(wait_seconds + 120), "--wrong-name-first", "/qel0.bi1",
       "--wrong-name-pause-ms", std::to_string(wait_seconds * 1000), "--port-file", dir + "/port"},
      false);
  for (int i = 0; i < 100 && read_file(dir + "/port").empty(); ++i) ::usleep(50000);
  if (read_file(dir + "/port").empty()) fail("the device simulator did not start");

  write_file(dir + "/idle.script",
             "addresses 127.0.0.1\n"
             "timeout " +
                 std::to_string((wait_seconds + 100) * 1000) +
                 "\n"
                 "answer 139 press 1\n"
                 "answer 305 type 1000 127.0.0.2 ; press 1\n"
                 "answer 101 type 1000 127.0.0.2 ; press 1\n"
                 "answer 103 press 1\n"
                 "answer 111 press 1\n");
  const std::string transcript = dir + "/transcript.jsonl";
  Child wizard =
      spawn({harness, "--script", dir + "/idle.script", "--transcript", transcript}, false);

  std::vector<CpuSample> samples;
  Phase waiting, restart_wait;
  long long waiting_passes = 0;
  bool succeeded = false;
  std::size_t consumed = 0;
  int status = -1;
  rusage usage{};
  long long deadline = now_ns() + (wait_seconds + 120) * 1000000000LL;
  for (;;) {
    CpuSample s;
    if (sample_cpu(wizard.pid, &s)) samples.push_back(s);
    // New whole lines of the transcript mark the phases.
    std::string text = read_file(transcript);
    std::size_t end = text.rfind('\n');
    if (end != std::string::npos && end + 1 > consumed) {
      std::istringstream lines(text.substr(consumed, end + 1 - consumed));
      consumed = end + 1;
      std::string line;
      long long at = now_ns();
      while (std::getline(lines, line)) {
        const nlohmann::json e = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
        if (!e.is_object()) continue;
        const std::string event = e.value("event", "");
        const int template_id = e.value("template", 0);
        if (template_id == 114 && event == "open" && !waiting.begin) waiting.begin = at;
        if (template_id == 114 && event == "close" && !waiting.end) waiting.end = at;
        if (template_id == 114 && event == "progress") waiting_passes += e.value("count", 0LL);
        // The wait sets the upload dialog's bar to 0..937 ticks.
        if (template_id == 110 && event == "range" && e.value("high", 0) == 937)
          restart_wait.begin = at;
        if (template_id == 110 && event == "close") restart_wait.end = at;
        if (template_id == 111 && event == "open") succeeded = true;
      }
    }
    pid_t r = ::wait4(wizard.pid, &status, WNOHANG, &usage);
    if (r == wizard.pid) break;
    if (now_ns() > deadline) {
      ::kill(wizard.pid, SIGKILL);
      ::wait4(wizard.pid, &status, 0, &usage);
      fail("the scripted run did not end in time");
    }
    ::usleep(100000);
  }
  ::kill(device.pid, SIGTERM);
  wait_child(device.pid, 5000);

  // Start-up of each phase (the upgrade request's Connecting dialog, the
  // first redraws) and the moment it ends are left out.
  WindowCost w1 = cost_between(samples, waiting.begin + 2000000000LL, waiting.end - 300000000LL);
  WindowCost w2 =
      cost_between(samples, restart_wait.begin + 1000000000LL, restart_wait.end - 300000000LL);
  double waiting_seconds = (waiting.end - waiting.begin) / 1e9;

  std::printf("\nScripted run at real speed (device's read request %d s late): exit code %d, %s\n",
              wait_seconds, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
              succeeded ? "success dialog shown" : "NO success dialog");
  auto report = [](const char* what, const WindowCost& w) {
    if (!w.valid) {
      std::printf("  %-34s not measured (phase too short or not seen)\n", what);
      return;
    }
    std::printf(
        "  %-34s %5.2f%% of one core over %.1f s (main thread %.2f%%, other threads "
        "%.2f%%) = %.1f ms CPU per second  %s\n",
        what, w.percent, w.seconds, w.main_percent, w.percent - w.main_percent, w.percent * 10,
        w.percent <= 1.0 ? "(goal <= 1%: met)" : "(goal <= 1%: MISSED)");
  };
  report("CPU, waiting dialog:", w1);
  if (waiting_seconds > 0)
    std::printf("  %-34s %lld in %.1f s = %.0f per second\n",
                "  idle passes of the listener:", waiting_passes, waiting_seconds,
                waiting_passes / waiting_seconds);
  report("CPU, 30-second wait after transfer:", w2);
  std::printf("  %-34s %.1f MB (%ld kB)  %s\n",
              "peak RSS of the whole run:", usage.ru_maxrss / 1024.0, usage.ru_maxrss,
              usage.ru_maxrss <= 16 * 1024 ? "(goal <= 16 MB: met)" : "(goal <= 16 MB: MISSED)");
  std::printf("  %-34s user %.2f s, system %.2f s\n",
              "CPU of the whole run:", usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
              usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6);

  for (const char* f : {"/port", "/idle.script", "/transcript.jsonl"}) ::unlink((dir + f).c_str());
  ::rmdir(dir.c_str());
  return succeeded && w1.valid && w2.valid ? 0 : 1;
}

// ---- what the waits cost by themselves ----

long long thread_cpu_ns() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int run_floor(int seconds) {
  NetSocket socket = net_udp_socket();
  if (socket == NET_INVALID_SOCKET || net_bind(socket, LOOPBACK, 0) != 0) fail("no socket");
  net_set_nonblocking(socket);
  char buffer[1024];
  std::printf("\nThe waits alone, without dialogs (%d s each):\n", seconds);

  // The listener's idle pass: receive, and while nothing came and the tick
  // has not, wait for the socket until the tick.
  long long passes = 0;
  long long cpu0 = thread_cpu_ns(), t0 = now_ns();
  std::uint32_t pass_end = clock_tick() + 1;
  while (now_ns() - t0 < seconds * 1000000000LL) {
    std::uint32_t address;
    std::uint16_t port;
    bool nothing = net_recvfrom(socket, buffer, sizeof buffer, &address, &port) <= 0;
    if (!clock_tick_reached(pass_end)) {
      if (nothing) net_wait_readable_until(socket, pass_end);
      continue;
    }
    pass_end = clock_tick() + 1;
    ++passes;
  }
  double wall = (now_ns() - t0) / 1e9;
  double cpu = (thread_cpu_ns() - cpu0) / 1e9;
  std::printf("  %-44s %5.1f passes/s (%.2f ms each), %5.1f us CPU each = %.2f%% of one core\n",
              "receive + wait to the tick (listener pass):", passes / wall, 1000 * wall / passes,
              cpu / passes * 1e6, 100 * cpu / wall);

  passes = 0;
  cpu0 = thread_cpu_ns();
  t0 = now_ns();
  while (now_ns() - t0 < seconds * 1000000000LL) {
    sleep_ms(10);
    ++passes;
  }
  wall = (now_ns() - t0) / 1e9;
  cpu = (thread_cpu_ns() - cpu0) / 1e9;
  std::printf("  %-44s %5.0f passes/s, %5.1f us CPU each = %.2f%% of one core\n",
              "sleep 10 ms (main thread after the request):", passes / wall, cpu / passes * 1e6,
              100 * cpu / wall);
  net_close(socket);

  // One step of the waiting dialog's animation as the listener makes it, on
  // a shown dialog, through the dialog layer and the scripted front-end
  // (transcript to /dev/null), without any wait.
  std::FILE* transcript = std::fopen("/dev/null", "w");
  scripted::Script script;
  std::string error;
  scripted::parse_script("", ".", &script, &error);
  auto* frontend = new scripted::ScriptedFrontend(std::move(script), transcript, nullptr);
  frontend_install(frontend);
  DialogProc proc = [](DialogHandle, unsigned, std::uintptr_t, std::intptr_t) -> std::intptr_t {
    return 0;
  };
  DialogHandle dialog = dialog_create(nullptr, 114, proc);
  dialog_show(dialog);
  dialog_progress_range(dialog, 1010, 0, 1000);
  const int steps = 2000000;
  int animation = 0;
  cpu0 = thread_cpu_ns();
  for (int i = 0; i < steps; ++i) {
    if (++animation == 1000) animation = 0;
    dialog_progress_pos(dialog, 1010, animation);
    dialog_pump_all(dialog);
  }
  double step_us = (thread_cpu_ns() - cpu0) / 1e3 / steps;
  std::printf("  %-44s %5.2f us CPU each = %.2f%% of one core at 1000 steps/s\n",
              "animation step (dialog layer + front-end):", step_us, step_us / 10);
  return 0;
}

// ---- resend timing at real speed ----

int run_timing(const std::string& serve) {
  std::string dir = make_temp_dir();
  const std::string transcript = dir + "/transcript.jsonl";
  const std::string name = "/qel7e57.bi1";
  Child server = spawn({serve, name, transcript}, true);
  std::string line = read_line(server.out, 10000);
  ::close(server.out);
  if (line.rfind("port ", 0) != 0) {
    wait_child(server.pid, 100);
    fail("qel-bench-serve did not start (\"" + line + "\")");
  }
  auto port = static_cast<std::uint16_t>(std::atoi(line.c_str() + 5));

  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in me{};
  me.sin_family = AF_INET;
  me.sin_addr.s_addr = htonl(LOOPBACK);
  sockaddr_in server_address = me;
  server_address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof me) != 0) fail("cannot bind on loopback");
  auto send = [&](const std::string& packet) {
    ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&server_address),
             sizeof server_address);
  };
  auto ack = [](int block) {
    return std::string{0, 4, static_cast<char>(block >> 8), static_cast<char>(block & 0xff)};
  };
  // The next packet (-1 when none came in time), and when: the OACK, or a
  // DATA packet's opcode and block number.
  const int OACK = 6 << 16, DATA = 3 << 16;
  auto next = [&](int timeout_ms, long long* at) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return -1;
    unsigned char packet[1024];
    ssize_t n = ::recv(fd, packet, sizeof packet, 0);
    *at = now_ns();
    if (n >= 2 && packet[1] == 6) return OACK;
    return n < 4 ? -1 : packet[1] << 16 | packet[2] << 8 | packet[3];
  };

  send(std::string("\0\1", 2) + name + std::string("\0octet\0", 7));
  long long t = 0, sent = 0, again = 0;
  if (next(5000, &t) != OACK) fail("timing: no OACK");
  send(ack(0));
  if (next(5000, &sent) != (DATA | 1)) fail("timing: no block 1");
  // Its acknowledgement is "lost": the block comes again.
  if (next(5000, &again) != (DATA | 1)) fail("timing: block 1 was not resent");
  send(ack(1));
  long long last_new = 0;
  if (next(5000, &last_new) != (DATA | 2)) fail("timing: no block 2");

  // Silence for good: block 2 comes again until the server gives up, which
  // the wait after the transfer shows (its bar's range of 937 ticks).
  std::vector<long long> resends;
  long long gave_up = 0;
  long long deadline = now_ns() + 90 * 1000000000LL;
  while (!gave_up && now_ns() < deadline) {
    long long at = 0;
    int packet = next(5, &at);
    if (packet == (DATA | 2)) {
      resends.push_back(at);
    } else if (packet != -1) {
      fail("timing: unexpected packet");
    }
    if (read_file(transcript).find("\"high\":937") != std::string::npos) gave_up = now_ns();
  }
  wait_child(server.pid, 10000);
  ::close(fd);
  ::unlink(transcript.c_str());
  ::rmdir(dir.c_str());
  if (!gave_up || resends.empty()) fail("timing: the server did not give up in 90 s");

  std::printf("\nResend timing at real speed (our listener, the embedded image):\n");
  std::printf("  %-44s block resent after %.3f s\n",
              "one lost acknowledgement:", (again - sent) / 1e9);
  std::printf(
      "  %-44s %zu resends, every %.3f s on average; given up %.1f s after the block "
      "(goal about 47 s)\n",
      "a device silent for good:", resends.size(),
      (resends.back() - last_new) / 1e9 / static_cast<double>(resends.size()),
      (gave_up - last_new) / 1e9);
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: qel-bench transfer --serve BIN [--rounds N] [--hpa-port PORT]\n"
               "       qel-bench idle --harness BIN --sim BIN [--wait-seconds S]\n"
               "       qel-bench floor [--seconds S]\n"
               "       qel-bench timing --serve BIN\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string mode = argv[1];
  std::map<std::string, std::string> options;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strncmp(argv[i], "--", 2) != 0) return usage();
    options[argv[i] + 2] = argv[i + 1];
  }
  if ((argc - 2) % 2) return usage();
  auto number = [&](const char* key, int fallback) {
    return options.count(key) ? std::atoi(options[key].c_str()) : fallback;
  };
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (mode == "transfer" && options.count("serve"))
    return run_transfer(options["serve"], number("rounds", 10), number("hpa-port", 1069));
  if (mode == "idle" && options.count("harness") && options.count("sim"))
    return run_idle(options["harness"], options["sim"], number("wait-seconds", 20));
  if (mode == "floor") return run_floor(number("seconds", 5));
  if (mode == "timing" && options.count("serve")) return run_timing(options["serve"]);
  return usage();
}

// One process per device: a device that hangs, crashes or misbehaves ends
// only its own upgrade, and one that takes too long is stopped. Each upgrade
// leaves a device already on the Target version alone (reported skipped).
#include "frontends/admin/fleet.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>

#include "frontends/admin/fleet_list.h"
#include "frontends/admin/progress.h"
#include "frontends/admin/report.h"
#include "frontends/admin/util.h"

namespace admin {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

int signal_pipe[2] = {-1, -1};

void on_signal(int number) {
  int saved = errno;
  char byte = static_cast<char>(number);
  [[maybe_unused]] ssize_t n = ::write(signal_pipe[1], &byte, 1);
  errno = saved;
}

// After the time limit a child gets SIGTERM (its Cancel) and this long to
// report before it is killed.
constexpr auto STOP_GRACE = std::chrono::seconds(10);

struct Device {
  FleetEntry entry;
  enum Phase { WAITING, RUNNING, DONE } phase = WAITING;
  pid_t pid = -1;
  int out_fd = -1, err_fd = -1;
  std::string out, err_partial;
  std::string state = "waiting";
  int percent = -1;
  Clock::time_point began, deadline;
  bool timed_out = false;
  Clock::time_point kill_at = Clock::time_point::max();
  ReportRow row;
};

std::string json_text(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

// The last line of the child's standard output that is a JSON object.
bool last_json(const std::string& out, Json* object) {
  std::istringstream lines(out);
  std::string line;
  bool found = false;
  while (std::getline(lines, line)) {
    Json parsed = Json::parse(line, nullptr, false);
    if (!parsed.is_discarded() && parsed.is_object()) {
      *object = parsed;
      found = true;
    }
  }
  return found;
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

class Fleet {
 public:
  Fleet(const FleetOptions& options, std::vector<FleetEntry> entries, ReportFile* report)
      : options_(options),
        self_(self_path()),
        terminal_(::isatty(STDERR_FILENO) != 0),
        report_(report) {
    for (FleetEntry& e : entries) {
      Device d;
      d.entry = std::move(e);
      d.row.address = d.entry.address;
      devices_.push_back(std::move(d));
    }
  }

  int run();

 private:
  bool spawn(Device& d);
  void enforce_time_limit(Device& d, Clock::time_point now);
  void read_output(Device& d, int fd);
  void child_ended(Device& d, int status);
  void finish(Device& d, const std::string& result, const std::string& message);
  void on_signal_byte(char number);
  void redraw();
  void erase_block();
  void say(const std::string& line);  // a permanent line above the live block
  bool write_report();

  const FleetOptions options_;
  const std::string self_;
  const bool terminal_;
  ReportFile* const report_;
  std::vector<Device> devices_;
  bool stopping_ = false;
  bool aborting_ = false;
  int block_lines_ = 0;
  Clock::time_point drawn_{};
};

bool Fleet::spawn(Device& d) {
  std::vector<std::string> args = {self_,    "upgrade", d.entry.address,
                                   "--json", "--yes",   "--exit-with-parent"};
  if (options_.force) args.push_back("--force");
  if (!d.entry.password_file.empty()) {
    args.insert(args.end(), {"--user", d.entry.user, "--password-file", d.entry.password_file});
  }
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return false;
  }
  std::fflush(nullptr);
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid == 0) {
    // Ends with the fleet, however the fleet ends (the upgrade arms this
    // again after exec, which a program with capabilities clears).
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) _exit(127);
    // A group of its own: the terminal's Ctrl-C reaches the fleet only, which
    // decides whether the running upgrades finish or abort.
    ::setpgid(0, 0);
    int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    // Whatever the fleet itself inherited stays with the fleet.
    ::close_range(3, ~0u, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, SIG_DFL);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(self_.c_str(), argv.data());
    _exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    ::close(out[0]);
    ::close(err[0]);
    return false;
  }
  ::setpgid(pid, pid);  // also here, so a signal sent at once finds the group
  d.pid = pid;
  d.out_fd = out[0];
  d.err_fd = err[0];
  d.out.clear();
  d.err_partial.clear();
  d.phase = Device::RUNNING;
  d.state = "start";
  d.percent = -1;
  d.deadline = d.began + std::chrono::seconds(options_.timeout_seconds);
  if (!terminal_) say(d.entry.address + ": upgrading");
  return true;
}

void Fleet::enforce_time_limit(Device& d, Clock::time_point now) {
  if (d.pid <= 0) return;
  if (!d.timed_out && now >= d.deadline) {
    d.timed_out = true;
    d.kill_at = now + STOP_GRACE;
    say(d.entry.address + ": no result after " + std::to_string(options_.timeout_seconds) +
        " s: stopping it");
    ::kill(-d.pid, SIGTERM);  // its Cancel: it still reports
  } else if (now >= d.kill_at) {
    d.kill_at = Clock::time_point::max();
    ::kill(-d.pid, SIGKILL);
  }
}

void Fleet::read_output(Device& d, int fd) {
  char chunk[4096];
  ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    ::close(fd);
    (fd == d.out_fd ? d.out_fd : d.err_fd) = -1;
    return;
  }
  if (fd == d.out_fd) {
    d.out.append(chunk, static_cast<std::size_t>(n));
    return;
  }
  d.err_partial.append(chunk, static_cast<std::size_t>(n));
  std::size_t end;
  while ((end = d.err_partial.find('\n')) != std::string::npos) {
    std::string line = d.err_partial.substr(0, end);
    d.err_partial.erase(0, end + 1);
    std::string state, text;
    int percent;
    if (parse_step_line(line, &state, &percent, &text) && d.phase == Device::RUNNING) {
      d.state = state;
      d.percent = percent;
    }
  }
}

void Fleet::finish(Device& d, const std::string& result, const std::string& message) {
  d.phase = Device::DONE;
  d.row.result = result;
  d.row.message = message;
  bool started = d.began != Clock::time_point{};
  d.row.seconds = started ? std::chrono::duration<double>(Clock::now() - d.began).count() : 0;
  std::string line = d.entry.address + "  " + result;
  if (result == "upgraded")
    line += "  " + shown_utf8(d.row.version_before) + " -> " + shown_utf8(d.row.version_after);
  else if (!message.empty())
    line += "  " + shown_utf8(message);
  line += "  (" + seconds_text(d.row.seconds) + " s)";
  say(line);
}

void Fleet::child_ended(Device& d, int status) {
  d.pid = -1;
  Json object;
  bool have = last_json(d.out, &object);
  std::string limit = "no result within " + std::to_string(options_.timeout_seconds) + " s";
  if (!have) {
    std::string how = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                          : "exit status " + std::to_string(WEXITSTATUS(status));
    finish(d, "failed",
           d.timed_out ? limit + ": stopped (" + how + ")"
                       : "the upgrade process ended without a result (" + how + ")");
    return;
  }
  // The child's values as it wrote them: its JSON is UTF-8 already.
  std::string result = json_text(object, "result");
  if (std::string product = json_text(object, "product"); !product.empty()) d.row.product = product;
  if (std::string before = json_text(object, "version_before"); !before.empty())
    d.row.version_before = before;
  d.row.version_after = json_text(object, "version_after");
  std::string message = json_text(object, "message");
  if (result == "current") {
    finish(d, "skipped", "already on " + json_text(object, "version_target"));
    return;
  }
  if (d.timed_out) {
    // Stopped by the limit: whatever it said then, it did not finish in time.
    finish(d, result == "unverified" ? result : "failed",
           limit + ": stopped" + (message.empty() ? "" : " (" + message + ")"));
    return;
  }
  finish(d, result.empty() ? "failed" : result, message);
}

void Fleet::on_signal_byte(char number) {
  bool abort_now = number != SIGINT || stopping_;
  if (!stopping_) {
    stopping_ = true;
    if (!abort_now)
      say("qel-upgrade fleet: interrupted: no more upgrades start; the running ones finish "
          "(Ctrl-C again aborts them)");
  }
  if (abort_now && !aborting_) {
    aborting_ = true;
    say("qel-upgrade fleet: aborting the running upgrades");
    // Each child takes it as Cancel in its open dialog.
    for (Device& d : devices_)
      if (d.pid > 0) ::kill(-d.pid, SIGINT);
  }
}

void Fleet::erase_block() {
  if (!terminal_ || block_lines_ == 0) return;
  std::fputs("\r\033[2K", stderr);
  for (int i = 1; i < block_lines_; ++i) std::fputs("\033[1A\033[2K", stderr);
  block_lines_ = 0;
}

void Fleet::say(const std::string& line) {
  erase_block();
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  drawn_ = {};
}

void Fleet::redraw() {
  if (!terminal_) return;
  auto now = Clock::now();
  if (now - drawn_ < std::chrono::milliseconds(200)) return;
  drawn_ = now;
  std::vector<std::string> lines;
  int running = 0, waiting = 0, done = 0;
  for (const Device& d : devices_) {
    if (d.phase == Device::WAITING)
      ++waiting;
    else if (d.phase == Device::DONE)
      ++done;
    else {
      ++running;
      char line[160];
      std::string percent = d.percent >= 0 ? std::to_string(d.percent) + "%" : "";
      std::snprintf(line, sizeof line, "  %-15s  %-8s %4s  %s", d.entry.address.c_str(),
                    d.state.c_str(), percent.c_str(),
                    seconds_text(std::chrono::duration<double>(now - d.began).count()).c_str());
      lines.push_back(std::string(line) + " s");
    }
  }
  char summary[160];
  std::snprintf(summary, sizeof summary, "%d running, %d waiting, %d done%s", running, waiting,
                done, stopping_ ? " (interrupted)" : "");
  lines.push_back(summary);
  erase_block();
  for (std::size_t i = 0; i < lines.size(); ++i)
    std::fprintf(stderr, "%s%s", lines[i].c_str(), i + 1 < lines.size() ? "\n" : "");
  std::fflush(stderr);
  block_lines_ = static_cast<int>(lines.size());
}

bool Fleet::write_report() {
  std::vector<ReportRow> rows;
  for (const Device& d : devices_) rows.push_back(d.row);
  std::string error;
  if (report_->commit(rows, &error)) return true;
  // Never lost: on standard output when its file cannot take it.
  std::fprintf(stderr, "qel-upgrade fleet: %s; the report follows on standard output\n",
               shown_utf8(error).c_str());
  std::fputs(report_csv(rows).c_str(), stdout);
  std::fflush(stdout);
  return false;
}

int Fleet::run() {
  std::size_t next = 0;
  std::vector<pollfd> fds;
  std::vector<Device*> owners;
  for (;;) {
    int running = 0;
    for (const Device& d : devices_) running += d.phase == Device::RUNNING;
    while (!stopping_ && running < options_.parallel && next < devices_.size()) {
      Device& d = devices_[next++];
      d.began = Clock::now();
      if (spawn(d))
        ++running;
      else
        finish(d, "failed", std::string("cannot start: ") + std::strerror(errno));
    }
    if (running == 0 && (stopping_ || next == devices_.size())) break;

    fds.clear();
    owners.clear();
    fds.push_back({signal_pipe[0], POLLIN, 0});
    owners.push_back(nullptr);
    for (Device& d : devices_) {
      for (int fd : {d.out_fd, d.err_fd}) {
        if (fd < 0) continue;
        fds.push_back({fd, POLLIN, 0});
        owners.push_back(&d);
      }
    }
    int n = ::poll(fds.data(), fds.size(), 200);
    if (n < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (!owners[i]) {
        char number;
        while (::read(signal_pipe[0], &number, 1) == 1) on_signal_byte(number);
        continue;
      }
      read_output(*owners[i], fds[i].fd);
    }
    // A child whose output is closed at both ends has ended (or is ending).
    Clock::time_point now = Clock::now();
    for (Device& d : devices_) {
      enforce_time_limit(d, now);
      if (d.pid <= 0 || d.out_fd >= 0 || d.err_fd >= 0) continue;
      int status = 0;
      while (::waitpid(d.pid, &status, 0) < 0 && errno == EINTR) {
      }
      child_ended(d, status);
    }
    redraw();
  }
  for (Device& d : devices_)
    if (d.phase == Device::WAITING) finish(d, "aborted", "not started: the fleet was interrupted");
  erase_block();

  bool reported = write_report();
  int upgraded = 0, skipped = 0, other = 0;
  for (const Device& d : devices_) {
    if (d.row.result == "upgraded")
      ++upgraded;
    else if (d.row.result == "skipped")
      ++skipped;
    else
      ++other;
  }
  std::fprintf(stderr, "qel-upgrade fleet: %d upgraded, %d skipped, %d not upgraded\n", upgraded,
               skipped, other);
  if (stopping_) return EXIT_ABORTED;
  return other == 0 && reported ? EXIT_UPGRADED : EXIT_FAILED;
}

}  // namespace

int run_fleet(const FleetOptions& options) {
  std::vector<FleetEntry> entries;
  std::vector<std::string> errors;
  if (!read_fleet_list(options.list_file, &entries, &errors)) {
    for (const std::string& error : errors)
      std::fprintf(stderr, "qel-upgrade fleet: %s\n", error.c_str());
    return EXIT_USAGE;
  }
  // Both before any device is touched: the upgrades would be lost work.
  ReportFile report;
  std::string error;
  if (!report.open(options.report_file, &error)) {
    std::fprintf(stderr, "qel-upgrade fleet: %s\n", shown_utf8(error).c_str());
    return EXIT_USAGE;
  }
  if (tftp_ports_refused(0)) {
    std::fprintf(stderr, "qel-upgrade fleet: %s\n", tftp_refusal_message().c_str());
    return EXIT_NO_PORT;
  }
  if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::fprintf(stderr, "qel-upgrade fleet: %s\n", std::strerror(errno));
    return EXIT_FAILED;
  }
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return Fleet(options, std::move(entries), &report).run();
}

}  // namespace admin

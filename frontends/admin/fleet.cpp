// One process per device: a device that hangs, crashes or misbehaves ends
// only its own upgrade. Each device first gets a dry run (unless --force),
// which reads its version as the wizard does; a device already on the
// Target version is left alone.
#include "frontends/admin/fleet.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "frontends/admin/progress.h"
#include "frontends/admin/util.h"
#include "ui/ui.h"

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

std::string self_path() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "qel-upgrade";
}

std::string folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

struct Device {
  FleetEntry entry;
  enum Phase { WAITING, PROBING, UPGRADING, DONE } phase = WAITING;
  pid_t pid = -1;
  int out_fd = -1, err_fd = -1;
  std::string out, err_partial;
  std::string state = "waiting";
  int percent = -1;
  Clock::time_point began;
  // The report's row.
  std::string product, version_before, version_after, result, message;
  double seconds = 0;
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

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

class Fleet {
 public:
  Fleet(const FleetOptions& options, std::vector<FleetEntry> entries)
      : options_(options), self_(self_path()), terminal_(::isatty(STDERR_FILENO) != 0) {
    for (FleetEntry& e : entries) {
      Device d;
      d.entry = std::move(e);
      devices_.push_back(std::move(d));
    }
  }

  int run();

 private:
  bool spawn(Device& d, bool dry_run);
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
  std::vector<Device> devices_;
  bool stopping_ = false;
  bool aborting_ = false;
  int block_lines_ = 0;
  Clock::time_point drawn_{};
};

bool Fleet::spawn(Device& d, bool dry_run) {
  std::vector<std::string> args = {self_, "upgrade", d.entry.address, "--json", "--yes"};
  if (dry_run) args.push_back("--dry-run");
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
  pid_t pid = ::fork();
  if (pid == 0) {
    // A group of its own: the terminal's Ctrl-C reaches the fleet only, which
    // decides whether the running upgrades finish or abort.
    ::setpgid(0, 0);
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
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
  d.phase = dry_run ? Device::PROBING : Device::UPGRADING;
  d.state = dry_run ? "probe" : "start";
  d.percent = -1;
  if (!terminal_ && !dry_run) say(d.entry.address + ": upgrading");
  return true;
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
    if (parse_step_line(line, &state, &percent, &text) && d.phase == Device::UPGRADING) {
      d.state = state;
      d.percent = percent;
    }
  }
}

void Fleet::finish(Device& d, const std::string& result, const std::string& message) {
  d.phase = Device::DONE;
  d.result = result;
  d.message = message;
  bool started = d.began != Clock::time_point{};
  d.seconds = started ? std::chrono::duration<double>(Clock::now() - d.began).count() : 0;
  std::string line = d.entry.address + "  " + result;
  if (result == "upgraded")
    line += "  " + one_line(d.version_before) + " -> " + one_line(d.version_after);
  else if (!message.empty())
    line += "  " + one_line(message);
  line += "  (" + seconds_text(d.seconds) + " s)";
  say(line);
}

void Fleet::child_ended(Device& d, int status) {
  d.pid = -1;
  Json object;
  bool have = last_json(d.out, &object);
  if (!have) {
    std::string how = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                          : "exit status " + std::to_string(WEXITSTATUS(status));
    finish(d, "failed", "the upgrade process ended without a result (" + how + ")");
    return;
  }
  std::string result = json_text(object, "result");
  std::string product = json_text(object, "product");
  if (!product.empty()) d.product = product;
  std::string before = json_text(object, "version_before");
  if (!before.empty()) d.version_before = before;
  if (d.phase == Device::PROBING && result == "dry-run") {
    std::string target = json_text(object, "version_target");
    if (!before.empty() && before == target) {
      d.version_after = before;
      finish(d, "skipped", "already on " + target);
      return;
    }
    if (stopping_) {
      finish(d, "aborted", "not started: the fleet was interrupted");
      return;
    }
    if (!spawn(d, false)) finish(d, "failed", std::string("cannot start: ") + std::strerror(errno));
    return;
  }
  d.version_after = json_text(object, "version_after");
  finish(d, result.empty() ? "failed" : result, json_text(object, "message"));
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
  static const char* const FIELDS[] = {"address", "product", "version_before", "version_after",
                                       "result",  "message", "seconds"};
  std::string text;
  bool as_json = options_.report_file.size() >= 5 &&
                 options_.report_file.compare(options_.report_file.size() - 5, 5, ".json") == 0;
  if (as_json) {
    Json rows = Json::array();
    for (const Device& d : devices_) {
      Json row;
      row["address"] = d.entry.address;
      auto text = [](const std::string& value) {
        return value.empty() ? Json(nullptr) : Json(latin1_to_utf8(value));
      };
      row["product"] = text(d.product);
      row["version_before"] = text(d.version_before);
      row["version_after"] = text(d.version_after);
      row["result"] = d.result;
      row["message"] = latin1_to_utf8(d.message);
      row["seconds"] = std::round(d.seconds * 10) / 10;
      rows.push_back(row);
    }
    text = rows.dump(2) + "\n";
  } else {
    for (const char* field : FIELDS) text += std::string(text.empty() ? "" : ",") + field;
    text += "\n";
    for (const Device& d : devices_) {
      text += csv_field(d.entry.address) + "," + csv_field(d.product) + "," +
              csv_field(d.version_before) + "," + csv_field(d.version_after) + "," +
              csv_field(d.result) + "," + csv_field(d.message) + "," + seconds_text(d.seconds) +
              "\n";
    }
  }
  if (options_.report_file.empty()) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    return true;
  }
  std::ofstream out(options_.report_file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    std::fprintf(stderr, "qel-upgrade fleet: cannot write the report %s\n",
                 options_.report_file.c_str());
    return false;
  }
  return true;
}

int Fleet::run() {
  std::size_t next = 0;
  std::vector<pollfd> fds;
  std::vector<Device*> owners;
  for (;;) {
    int running = 0;
    for (const Device& d : devices_)
      running += d.phase == Device::PROBING || d.phase == Device::UPGRADING;
    while (!stopping_ && running < options_.parallel && next < devices_.size()) {
      Device& d = devices_[next++];
      d.began = Clock::now();
      if (spawn(d, !options_.force))
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
    for (Device& d : devices_) {
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
    if (d.result == "upgraded")
      ++upgraded;
    else if (d.result == "skipped")
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

bool read_fleet_list(const std::string& path, std::vector<FleetEntry>* entries,
                     std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::string folder = folder_of(path);
  std::set<std::string> seen;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string w; words >> w;) fields.push_back(w);
    if (fields.empty()) continue;
    std::string where = path + ":" + std::to_string(number) + ": ";
    if (fields.size() != 1 && fields.size() != 3) {
      *error = where + "expected ADDRESS [USER PASSWORD-FILE]";
      return false;
    }
    std::uint32_t address = 0;
    // The wizard's own check of an address, so that no child fails on it.
    if (fields[0].size() >= 64 || parse_ip_address(fields[0].c_str(), &address) != 0 ||
        address == 0) {
      *error = where + "Invalid IP Address: " + fields[0];
      return false;
    }
    if (!seen.insert(dotted(address)).second) {
      *error = where + fields[0] + " is listed twice";
      return false;
    }
    FleetEntry entry;
    entry.line = number;
    entry.address = fields[0];
    if (fields.size() == 3) {
      entry.user = fields[1];
      entry.password_file = fields[2][0] == '/' ? fields[2] : folder + "/" + fields[2];
      std::string ignored;
      if (!read_first_line(entry.password_file, &ignored)) {
        *error = where + "cannot read the password file " + entry.password_file;
        return false;
      }
    }
    entries->push_back(entry);
  }
  if (entries->empty()) {
    *error = path + ": no device listed";
    return false;
  }
  return true;
}

int run_fleet(const FleetOptions& options) {
  std::vector<FleetEntry> entries;
  std::string error;
  if (!read_fleet_list(options.list_file, &entries, &error)) {
    std::fprintf(stderr, "qel-upgrade fleet: %s\n", error.c_str());
    return EXIT_USAGE;
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
  return Fleet(options, std::move(entries)).run();
}

}  // namespace admin

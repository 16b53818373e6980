#include "frontends/admin/util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <mutex>

namespace admin {

namespace {

// A pipe whose read end becomes readable once reads are cancelled.
int wake_pipe[2] = {-1, -1};
std::once_flag wake_pipe_once;
std::atomic<bool> cancelled{false};

void make_wake_pipe() {
  std::call_once(wake_pipe_once, [] {
    if (::pipe2(wake_pipe, O_CLOEXEC) != 0) wake_pipe[0] = wake_pipe[1] = -1;
  });
}

std::mutex terminal_lock;
bool terminal_changed = false;
int terminal_fd = -1;
termios terminal_saved{};

int prefix_of(std::uint32_t mask) {
  int prefix = 0;
  while (prefix < 32 && (mask & (std::uint32_t(1) << (31 - prefix)))) ++prefix;
  return prefix;
}

}  // namespace

bool parse_dotted(const std::string& text, std::uint32_t* address) {
  in_addr parsed{};
  if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  *address = ntohl(parsed.s_addr);
  return true;
}

std::string dotted(std::uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xff) + "." +
         std::to_string((a >> 8) & 0xff) + "." + std::to_string(a & 0xff);
}

std::vector<Subnet> interface_subnets() {
  std::vector<Subnet> found;
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return found;
  for (ifaddrs* i = interfaces; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    Subnet s;
    s.interface = i->ifa_name;
    s.address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    if (i->ifa_netmask)
      s.prefix =
          prefix_of(ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr));
    s.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
    if (s.address != 0) found.push_back(s);
  }
  ::freeifaddrs(interfaces);
  return found;
}

std::string one_line(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out += (c < 0x20 || c == 0x7f) ? ' ' : static_cast<char>(c);
  std::size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

void cancel_reads() {
  make_wake_pipe();
  cancelled = true;
  if (wake_pipe[1] >= 0) {
    char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_pipe[1], &byte, 1);
  }
}

bool reads_cancelled() { return cancelled.load(); }

void restore_terminal() {
  std::lock_guard lock(terminal_lock);
  if (!terminal_changed) return;
  ::tcsetattr(terminal_fd, TCSAFLUSH, &terminal_saved);
  terminal_changed = false;
}

bool read_line_cancellable(int fd, std::string* line, bool echo) {
  make_wake_pipe();
  line->clear();
  if (cancelled) return false;
  if (!echo) {
    std::lock_guard lock(terminal_lock);
    termios quiet{};
    if (::tcgetattr(fd, &terminal_saved) != 0) return false;
    quiet = terminal_saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    if (::tcsetattr(fd, TCSAFLUSH, &quiet) != 0) return false;
    terminal_fd = fd;
    terminal_changed = true;
  }
  bool ok = false;
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
    int n = ::poll(fds, wake_pipe[0] >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (cancelled) break;
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char c;
    ssize_t got = ::read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = !line->empty();  // a last line without its end still counts
      break;
    }
    if (c == '\n') {
      ok = true;
      break;
    }
    *line += c;
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  if (!echo) restore_terminal();
  return ok && !cancelled;
}

bool read_first_line(const std::string& path, std::string* line) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  line->clear();
  std::getline(in, *line);
  if (in.bad()) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

}  // namespace admin

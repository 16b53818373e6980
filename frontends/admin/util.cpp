#include "frontends/admin/util.h"

#include <arpa/inet.h>
#include <climits>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>

#include "platform/net.h"
#include "platform/process.h"

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

namespace {

void append_utf8(std::string* out, std::uint32_t c) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xc0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xe0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    *out += static_cast<char>(0xf0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

constexpr std::uint32_t REPLACEMENT = 0xfffd;

// Calls each(code point) for the UTF-8 text; an invalid byte is REPLACEMENT.
template <typename Each>
void decode_utf8(const std::string& text, Each each) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80             ? 0
                : (lead & 0xe0) == 0xc0 ? 1
                : (lead & 0xf0) == 0xe0 ? 2
                : (lead & 0xf8) == 0xf0 ? 3
                                        : -1;
    std::uint32_t c = extra == 0   ? lead
                      : extra == 1 ? lead & 0x1fu
                      : extra == 2 ? lead & 0x0fu
                                   : lead & 0x07u;
    bool valid = extra >= 0 && i + static_cast<std::size_t>(extra) < text.size();
    for (int k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((next & 0xc0) != 0x80) valid = false;
      c = (c << 6) | (next & 0x3fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are invalid too.
    static const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (valid && (c < least[extra] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff))) valid = false;
    if (!valid) {
      each(REPLACEMENT);
      ++i;
      continue;
    }
    each(c);
    i += static_cast<std::size_t>(extra) + 1;
  }
}

std::string trimmed(const std::string& text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string shown_utf8(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  decode_utf8(utf8, [&](std::uint32_t c) {
    if (c == '\t' || c == '\r' || c == '\n')
      out += ' ';
    else if (c < 0x20 || (c >= 0x7f && c <= 0x9f) || frontend::is_bidi_control(c))
      out += '?';
    else
      append_utf8(&out, c);
  });
  return trimmed(out);
}

std::string shown_text(const std::string& latin1) { return shown_utf8(latin1_to_utf8(latin1)); }

bool printable_ascii(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x21 || c > 0x7e) return false;
  return true;
}

std::string valid_utf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  decode_utf8(text, [&](std::uint32_t c) { append_utf8(&out, c); });
  return out;
}

std::string csv_field(const std::string& utf8) {
  std::string text = shown_utf8(utf8);
  // A spreadsheet runs a cell that starts so as a formula.
  if (!text.empty() && std::strchr("=+-@\t\r", text[0]) != nullptr) text.insert(0, "'");
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

void ensure_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // open() takes the lowest free number: this very one.
    int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) ::close(null);
  }
}

std::string self_path() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "qel-upgrade";
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

bool read_first_line(const std::string& path, std::string* line, std::string* error) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = std::strerror(errno != 0 ? errno : ENOENT);
    return false;
  }
  line->clear();
  std::getline(in, *line);
  if (in.bad()) {
    if (error) *error = std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

void wipe(std::string* text) {
  if (!text->empty()) ::explicit_bzero(text->data(), text->size());
  text->clear();
}

void make_undumpable() {
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
}

bool read_password_file(const std::string& path, std::string* password, std::string* error) {
  error->clear();
  bool standard_input = path == "-";
  int fd = standard_input ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = "cannot read the password file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (::isatty(fd)) {
    // Read here, a typed password would show on the screen. The prompt the
    // program has already asks without echo, only when the device wants a
    // password, again when it is refused, and Ctrl-C cancels it.
    *error = (standard_input ? std::string("--password-file - reads standard input, which is a "
                                           "terminal")
                             : "the password file " + path + " is a terminal") +
             ": what is typed there would be shown; leave --password-file out and type the "
             "password when asked (without echo)";
    if (!standard_input) ::close(fd);
    return false;
  }
  struct stat about {};
  if (!standard_input && ::fstat(fd, &about) == 0 && S_ISREG(about.st_mode) &&
      (about.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(about.st_mode & 07777));
    *error = "the password file " + path + " may be read or changed by others (mode " + mode +
             "): make it private with chmod 600 " + path;
    ::close(fd);
    return false;
  }
  // One byte at a time up to the line end: nothing after it is read (a pipe
  // keeps the rest), and the buffer never grows behind our back.
  char line[CREDENTIAL_LIMIT + 2];
  std::size_t length = 0;
  bool too_long = false, failed = false;
  for (;;) {
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0 || c == '\n') break;
    if (length == sizeof line) {
      too_long = true;
      continue;  // read on to the line end, keeping nothing
    }
    line[length++] = c;
  }
  int saved = errno;
  if (!standard_input) ::close(fd);
  if (length > 0 && line[length - 1] == '\r' && !too_long) --length;
  if (failed) {
    *error = "cannot read the password file " + path + ": " + std::strerror(saved);
  } else if (too_long || length > CREDENTIAL_LIMIT) {
    *error = "the password in " + path + " is longer than " + std::to_string(CREDENTIAL_LIMIT) +
             " characters, more than the device's password field holds";
  } else {
    password->reserve(CREDENTIAL_LIMIT + 1);  // no reallocation leaves a copy
    password->assign(line, length);
  }
  ::explicit_bzero(line, sizeof line);
  return error->empty();
}

int free_tftp_ports() {
  int free = 0;
  for (int port = 69; port <= 168; ++port) {
    NetSocket socket = net_udp_socket();
    if (socket == NET_INVALID_SOCKET) break;
    free += net_bind(socket, 0, static_cast<std::uint16_t>(port)) == 0;
    net_close(socket);
  }
  return free;
}

}  // namespace admin

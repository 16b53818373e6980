// The command line's system side on POSIX (system.h).
#include "frontends/admin/system.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
termios terminal_saved{};

int prefix_of(std::uint32_t mask) {
  int prefix = 0;
  while (prefix < 32 && (mask & (std::uint32_t(1) << (31 - prefix)))) ++prefix;
  return prefix;
}

int descriptor_of(Stream stream) {
  return stream == Stream::Input    ? STDIN_FILENO
         : stream == Stream::Output ? STDOUT_FILENO
                                    : STDERR_FILENO;
}

sigset_t interrupt_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}

}  // namespace

void ensure_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // open() takes the lowest free number: this very one.
    int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) ::close(null);
  }
}

void write_text(Stream stream, const std::string& utf8) {
  int fd = descriptor_of(stream);
  std::size_t done = 0;
  while (done < utf8.size()) {
    ssize_t n = ::write(fd, utf8.data() + done, utf8.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a reader gone away: the run goes on
    done += static_cast<std::size_t>(n);
  }
}

bool is_terminal(Stream stream) { return ::isatty(descriptor_of(stream)) != 0; }

bool can_redraw(Stream stream) { return is_terminal(stream); }

int terminal_columns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) return size.ws_col;
  return 80;
}

std::string self_path() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "qel-upgrade";
}

std::string path_beside(const std::string& file, const std::string& written) {
  if (!written.empty() && written[0] == '/') return written;
  std::size_t slash = file.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "" : file.substr(0, slash);
  return folder + "/" + written;
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
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &terminal_saved);
  terminal_changed = false;
}

bool read_line_cancellable(std::string* line, bool echo) {
  const int fd = STDIN_FILENO;
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

void wipe_bytes(void* bytes, std::size_t size) {
  if (size != 0) ::explicit_bzero(bytes, size);
}

void wipe(std::string* text) {
  wipe_bytes(text->data(), text->size());
  text->clear();
}

void make_undumpable() {
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
}

SecretSource::~SecretSource() {
  if (handle_ >= 0 && !standard_input_) ::close(static_cast<int>(handle_));
}

bool SecretSource::open(const std::string& path, std::string* error) {
  standard_input_ = path == "-";
  int fd = standard_input_ ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = "cannot read the password file " + path + ": " + std::strerror(errno);
    return false;
  }
  handle_ = fd;
  if (::isatty(fd)) {
    // Read here, a typed password would show on the screen. The prompt the
    // program has already asks without echo, only when the device wants a
    // password, again when it is refused, and Ctrl-C cancels it.
    *error = (standard_input_ ? std::string("--password-file - reads standard input, which is a "
                                            "terminal")
                              : "the password file " + path + " is a terminal") +
             ": what is typed there would be shown; leave --password-file out and type the "
             "password when asked (without echo)";
    return false;
  }
  struct stat about {};
  if (!standard_input_ && ::fstat(fd, &about) == 0 && S_ISREG(about.st_mode) &&
      (about.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(about.st_mode & 07777));
    *error = "the password file " + path + " may be read or changed by others (mode " + mode +
             "): make it private with chmod 600 " + path;
    return false;
  }
  return true;
}

int SecretSource::read_byte(char* c, std::string* error) {
  for (;;) {
    ssize_t n = ::read(static_cast<int>(handle_), c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *error = std::strerror(errno);
    return static_cast<int>(n);
  }
}

std::vector<Subnet> interface_subnets() {
  std::vector<Subnet> found;
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return found;
  for (ifaddrs* i = interfaces; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    Subnet s;
    s.interface_name = i->ifa_name;
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

ProbeSocket probe_connect(std::uint32_t address, std::uint16_t port, bool* connected) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return NO_PROBE;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  int r = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (r != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return NO_PROBE;
  }
  *connected = r == 0;
  return fd;
}

bool probe_connected(ProbeSocket socket) {
  int error = 0;
  socklen_t length = sizeof error;
  return ::getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
         error == 0;
}

long probe_send(ProbeSocket socket, const char* data, std::size_t size) {
  return static_cast<long>(::send(static_cast<int>(socket), data, size, MSG_NOSIGNAL));
}

long probe_receive(ProbeSocket socket, char* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::recv(static_cast<int>(socket), data, size, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? -2 : -1;
  }
}

void probe_close(ProbeSocket socket) { ::close(static_cast<int>(socket)); }

bool probe_wait(std::vector<ProbeWait>* waits, int timeout_ms) {
  std::vector<pollfd> fds;
  fds.reserve(waits->size());
  for (const ProbeWait& w : *waits)
    fds.push_back(
        {static_cast<int>(w.socket), static_cast<short>(w.writable ? POLLOUT : POLLIN), 0});
  int n = ::poll(fds.data(), fds.size(), timeout_ms);
  if (n < 0) return errno == EINTR;
  for (std::size_t i = 0; i < fds.size(); ++i) (*waits)[i].ready = fds[i].revents != 0;
  return true;
}

long probe_capacity(long wanted) {
  // Leave room for what the process already holds.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
    return std::max<long>(1, std::min<long>(wanted, long(files.rlim_cur) - 32));
  return wanted;
}

void catch_interrupts() {
  // Every thread started from here on inherits the blocked signals, so only
  // wait_interrupt sees them.
  sigset_t signals = interrupt_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

bool wait_interrupt(int timeout_ms) {
  sigset_t signals = interrupt_signals();
  timespec step{timeout_ms / 1000, (timeout_ms % 1000) * 1000L * 1000L};
  return ::sigtimedwait(&signals, nullptr, &step) > 0;
}

bool tie_to_parent() {
  // The fleet that started this run may die without a word: then end too,
  // as at Ctrl-C. Set again here because running a program with file
  // capabilities clears it.
  pid_t parent = ::getppid();
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  return ::getppid() == parent;
}

void end_process(int code) { ::_exit(code); }

}  // namespace admin

// The command line's streams and terminal on POSIX (console.h).
#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace sys {

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

int descriptor_of(Stream stream) {
  return stream == Stream::Input    ? STDIN_FILENO
         : stream == Stream::Output ? STDOUT_FILENO
                                    : STDERR_FILENO;
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

int terminal_rows(int* columns) {
  winsize size{};
  bool known = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0;
  *columns = known ? size.ws_col : 0;
  return known ? size.ws_row : 0;
}

}  // namespace sys

// Scan's connections on POSIX (probe.h).
#include "platform/probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sys {

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

}  // namespace sys

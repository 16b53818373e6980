#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/posix/client_ports.h"
#include "platform/posix/time_scale.h"

namespace {

thread_local bool last_bind_denied = false;

sockaddr_in make_address(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

int fd(NetSocket socket) { return static_cast<int>(socket); }

NetSocket make_socket(int type) {
  int s = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  return s < 0 ? NET_INVALID_SOCKET : static_cast<NetSocket>(s);
}

}  // namespace

int net_startup() { return 0; }

NetSocket net_tcp_socket() { return make_socket(SOCK_STREAM); }
NetSocket net_udp_socket() { return make_socket(SOCK_DGRAM); }

namespace {
std::atomic<bool> system_client_ports{false};

bool is_stream(NetSocket socket) {
  int type = 0;
  socklen_t length = sizeof type;
  return ::getsockopt(fd(socket), SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}
}  // namespace

void net_use_system_client_ports(bool on) { system_client_ports.store(on); }

int net_bind(NetSocket socket, std::uint32_t address, std::uint16_t port) {
  if (port != 0 && system_client_ports.load() && is_stream(socket)) port = 0;
  sockaddr_in sa = make_address(address, port);
  int r = ::bind(fd(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  last_bind_denied = r != 0 && errno == EACCES;
  return r == 0 ? 0 : -1;
}

bool net_last_bind_denied() { return last_bind_denied; }

namespace {

using steady = std::chrono::steady_clock;

// What the Windows stack gives a connect, in the program's time: a refusal is
// tried again every half second for 2 s; silence ends after 21 s (three SYNs).
constexpr double CONNECT_REFUSED_RETRY_MS = 500;
constexpr double CONNECT_REFUSED_FOR_MS = 2000;
constexpr double CONNECT_SILENT_MS = 21000;

steady::time_point program_time_from(steady::time_point start, double milliseconds) {
  return start + std::chrono::microseconds(
                     static_cast<std::int64_t>(milliseconds * 1000 / posix_time_scale()));
}

timespec until(steady::time_point deadline) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - steady::now()).count();
  if (ns < 0) ns = 0;
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// One connect on a non-blocking socket, waited for until the deadline: 0 or
// the error. A signal interrupts only the wait, never the connection, which
// goes on; its outcome is read from the socket.
int connect_once(int s, const sockaddr_in& sa, steady::time_point deadline) {
  int r = ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  // After a failed attempt, Linux first answers that the old one was aborted.
  if (r != 0 && errno == ECONNABORTED)
    r = ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  if (r == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  for (;;) {
    if (steady::now() >= deadline) return ETIMEDOUT;
    pollfd p{s, POLLOUT, 0};
    timespec left = until(deadline);
    int ready = ::ppoll(&p, 1, &left, nullptr);
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) return errno;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

}  // namespace

int net_connect(NetSocket socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = make_address(address, port);
  int flags = ::fcntl(fd(socket), F_GETFL, 0);
  if (flags < 0) return -1;
  // A non-blocking socket gets the plain call, "would block" included.
  if (flags & O_NONBLOCK)
    return ::connect(fd(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
  if (::fcntl(fd(socket), F_SETFL, flags | O_NONBLOCK) != 0) return -1;

  steady::time_point start = steady::now();
  steady::time_point silent_end = program_time_from(start, CONNECT_SILENT_MS);
  steady::time_point refused_end = program_time_from(start, CONNECT_REFUSED_FOR_MS);
  int error;
  for (;;) {
    error = connect_once(fd(socket), sa, silent_end);
    if (error != ECONNREFUSED) break;
    steady::time_point now = steady::now();
    if (now >= refused_end) break;
    std::this_thread::sleep_until(program_time_from(now, CONNECT_REFUSED_RETRY_MS));
  }
  ::fcntl(fd(socket), F_SETFL, flags);
  return error == 0 ? 0 : -1;
}

int net_send(NetSocket socket, const void* data, int length) {
  return static_cast<int>(::send(fd(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL));
}

int net_recv(NetSocket socket, void* buffer, int length) {
  ssize_t n;
  do {
    n = ::recv(fd(socket), buffer, static_cast<size_t>(length), 0);
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}

int net_sendto(NetSocket socket, const void* data, int length, std::uint32_t address,
               std::uint16_t port) {
  sockaddr_in sa = make_address(address, port);
  return static_cast<int>(::sendto(fd(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL,
                                   reinterpret_cast<sockaddr*>(&sa), sizeof sa));
}

int net_recvfrom(NetSocket socket, void* buffer, int length, std::uint32_t* address,
                 std::uint16_t* port) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  // MSG_TRUNC gives a datagram's whole length: one longer than the buffer is
  // an error, and gone, as Windows reports it (WSAEMSGSIZE).
  ssize_t n = ::recvfrom(fd(socket), buffer, static_cast<size_t>(length), MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&sa), &len);
  if (n > length) {
    errno = EMSGSIZE;
    return -1;
  }
  if (n >= 0) {
    *address = ntohl(sa.sin_addr.s_addr);
    *port = ntohs(sa.sin_port);
  }
  return static_cast<int>(n);
}

int net_set_nonblocking(NetSocket socket) {
  int flags = ::fcntl(fd(socket), F_GETFL, 0);
  return flags < 0 || ::fcntl(fd(socket), F_SETFL, flags | O_NONBLOCK) != 0 ? -1 : 0;
}

void net_close(NetSocket socket) { ::close(fd(socket)); }

bool net_wait_readable_until(NetSocket socket, std::uint32_t tick) {
  steady::time_point deadline = posix_tick_deadline(tick);
  for (;;) {
    pollfd p{fd(socket), POLLIN, 0};
    timespec left = until(deadline);
    int r = ::ppoll(&p, 1, &left, nullptr);
    if (r > 0) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

bool net_wait_readable(NetSocket socket, int timeout_ms) {
  if (timeout_ms <= 0) {
    pollfd p{fd(socket), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
  }
  return net_wait_readable_until(socket, posix_tick_after(static_cast<std::uint32_t>(timeout_ms)));
}

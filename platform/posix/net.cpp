#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

int net_bind(NetSocket socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = make_address(address, port);
  int r = ::bind(fd(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  last_bind_denied = r != 0 && errno == EACCES;
  return r == 0 ? 0 : -1;
}

bool net_last_bind_denied() { return last_bind_denied; }

int net_connect(NetSocket socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = make_address(address, port);
  int r;
  do {
    r = ::connect(fd(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } while (r != 0 && errno == EINTR);
  return r == 0 ? 0 : -1;
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
  ssize_t n = ::recvfrom(fd(socket), buffer, static_cast<size_t>(length), 0,
                         reinterpret_cast<sockaddr*>(&sa), &len);
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

bool net_wait_readable(NetSocket socket, int timeout_ms) {
  pollfd p{fd(socket), POLLIN, 0};
  // Sub-millisecond waits matter when tests run the clock faster.
  auto ns = static_cast<long long>(timeout_ms * 1e6 / posix_time_scale());
  timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  return ::ppoll(&p, 1, &timeout, nullptr) > 0;
}

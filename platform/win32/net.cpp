// Windows Sockets 1.1 (wsock32).
#include <windows.h>
#include <winsock.h>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/options.h"
#include "platform/win32/ticks.h"

namespace {

// Winsock keeps its last error per thread; this answer must be per thread too.
thread_local bool last_bind_denied = false;

sockaddr_in make_address(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

SOCKET sock(NetSocket socket) { return static_cast<SOCKET>(socket); }

NetSocket make_socket(int type) {
  SOCKET s = ::socket(AF_INET, type, 0);
  return s == INVALID_SOCKET ? NET_INVALID_SOCKET : static_cast<NetSocket>(s);
}

}  // namespace

int net_startup() {
  WSADATA data;
  return WSAStartup(0x0101, &data);
}

NetSocket net_tcp_socket() { return make_socket(SOCK_STREAM); }

// Without SO_EXCLUSIVEADDRUSE a bind to (address, 69) succeeds beside another
// program's socket bound to (any address, 69), and the two would share the
// port; with it, the bind fails and the listener moves on to the next port.
// (Winsock 1.1's header lacks the name; the value is Winsock 2's.)
NetSocket net_udp_socket() {
  NetSocket socket = make_socket(SOCK_DGRAM);
  if (socket != NET_INVALID_SOCKET) {
#ifndef SO_EXCLUSIVEADDRUSE
    constexpr int SO_EXCLUSIVEADDRUSE = ~SO_REUSEADDR;
#endif
    BOOL on = TRUE;
    ::setsockopt(sock(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on);
  }
  return socket;
}

int net_bind(NetSocket socket, std::uint32_t address, std::uint16_t port) {
  int type = 0;
  int length = sizeof type;
  if (port != 0 && platform_options().system_client_ports &&
      ::getsockopt(sock(socket), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) ==
          0 &&
      type == SOCK_STREAM)
    port = 0;
  sockaddr_in sa = make_address(address, port);
  int r = ::bind(sock(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  last_bind_denied = r != 0 && WSAGetLastError() == WSAEACCES;
  return r == 0 ? 0 : -1;
}

bool net_last_bind_denied() { return last_bind_denied; }

// The stack itself retries a refused connection and gives up on silence
// after about 21 s.
int net_connect(NetSocket socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = make_address(address, port);
  return ::connect(sock(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int net_send(NetSocket socket, const void* data, int length) {
  return ::send(sock(socket), static_cast<const char*>(data), length, 0);
}

int net_recv(NetSocket socket, void* buffer, int length) {
  return ::recv(sock(socket), static_cast<char*>(buffer), length, 0);
}

int net_sendto(NetSocket socket, const void* data, int length, std::uint32_t address,
               std::uint16_t port) {
  sockaddr_in sa = make_address(address, port);
  return ::sendto(sock(socket), static_cast<const char*>(data), length, 0,
                  reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

// A datagram longer than the buffer fails the call (WSAEMSGSIZE) and is gone.
int net_recvfrom(NetSocket socket, void* buffer, int length, std::uint32_t* address,
                 std::uint16_t* port) {
  sockaddr_in sa{};
  int len = sizeof sa;
  int n = ::recvfrom(sock(socket), static_cast<char*>(buffer), length, 0,
                     reinterpret_cast<sockaddr*>(&sa), &len);
  if (n >= 0) {
    *address = ntohl(sa.sin_addr.s_addr);
    *port = ntohs(sa.sin_port);
  }
  return n;
}

int net_set_nonblocking(NetSocket socket) {
  u_long on = 1;
  return ::ioctlsocket(sock(socket), FIONBIO, &on) == 0 ? 0 : -1;
}

void net_close(NetSocket socket) { ::closesocket(sock(socket)); }

// select's own time-out has the timer's resolution; the tick is read from
// the performance counter, so the wait goes on until the tick has come.
bool net_wait_readable_until(NetSocket socket, std::uint32_t tick) {
  for (;;) {
    std::int64_t us = win32_us_until_tick(tick);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock(socket), &readable);
    timeval timeout{static_cast<long>(us / 1000000), static_cast<long>(us % 1000000)};
    int ready = ::select(0, &readable, nullptr, nullptr, &timeout);
    if (ready > 0) return true;
    if (ready < 0 || us == 0) return false;
  }
}

bool net_wait_readable(NetSocket socket, int timeout_ms) {
  return net_wait_readable_until(
      socket,
      timeout_ms > 0 ? win32_tick_after(static_cast<std::uint32_t>(timeout_ms)) : clock_tick());
}

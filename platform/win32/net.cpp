// Windows Sockets 1.1 (wsock32).
#include <windows.h>
#include <winsock.h>

#include "platform/net.h"

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
NetSocket net_udp_socket() { return make_socket(SOCK_DGRAM); }

int net_bind(NetSocket socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = make_address(address, port);
  int r = ::bind(sock(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  last_bind_denied = r != 0 && WSAGetLastError() == WSAEACCES;
  return r == 0 ? 0 : -1;
}

bool net_last_bind_denied() { return last_bind_denied; }

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

bool net_wait_readable(NetSocket socket, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(sock(socket), &readable);
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return ::select(0, &readable, nullptr, nullptr, &timeout) > 0;
}

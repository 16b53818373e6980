// Scan's connections on Windows (probe.h): Winsock 2 and WSAPoll.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "platform/probe.h"

namespace sys {

namespace {

void start_sockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

}  // namespace

ProbeSocket probe_connect(std::uint32_t address, std::uint16_t port, bool* connected) {
  start_sockets();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return NO_PROBE;
  u_long nonblocking = 1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  if (ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
    closesocket(s);
    return NO_PROBE;
  }
  int r = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (r != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
    closesocket(s);
    return NO_PROBE;
  }
  *connected = r == 0;
  return static_cast<ProbeSocket>(s);
}

bool probe_connected(ProbeSocket socket) {
  int error = 0;
  int length = sizeof error;
  return getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_ERROR,
                    reinterpret_cast<char*>(&error), &length) == 0 &&
         error == 0;
}

long probe_send(ProbeSocket socket, const char* data, std::size_t size) {
  return ::send(static_cast<SOCKET>(socket), data, static_cast<int>(size), 0);
}

long probe_receive(ProbeSocket socket, char* data, std::size_t size) {
  int n = ::recv(static_cast<SOCKET>(socket), data, static_cast<int>(size), 0);
  if (n >= 0) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? -2 : -1;
}

void probe_close(ProbeSocket socket) { closesocket(static_cast<SOCKET>(socket)); }

bool probe_wait(std::vector<ProbeWait>* waits, int timeout_ms) {
  std::vector<WSAPOLLFD> fds;
  fds.reserve(waits->size());
  for (const ProbeWait& w : *waits) {
    WSAPOLLFD fd{};
    fd.fd = static_cast<SOCKET>(w.socket);
    fd.events = w.writable ? POLLWRNORM : POLLRDNORM;
    fds.push_back(fd);
  }
  if (fds.empty()) {
    Sleep(static_cast<DWORD>(timeout_ms));
    return true;
  }
  // A failed connection shows as an error or a hang-up; on systems that
  // never report one, the probe's deadline ends it.
  if (WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms) == SOCKET_ERROR) return false;
  for (std::size_t i = 0; i < fds.size(); ++i) (*waits)[i].ready = fds[i].revents != 0;
  return true;
}

// Sockets are not counted against a small per-process limit here.
long probe_capacity(long wanted) { return wanted; }

}  // namespace sys

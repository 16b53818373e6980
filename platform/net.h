// IPv4 sockets, the small subset of Windows Sockets 1.1 the wizard uses.
// Addresses and ports are in host byte order (first dotted octet in the most
// significant byte); address 0 means "any local address" when binding.
#pragma once
#include <cstdint>

using NetSocket = std::uintptr_t;
inline constexpr NetSocket NET_INVALID_SOCKET = ~NetSocket(0);

// Socket start-up (WSAStartup 1.1 on Windows). 0 on success.
int net_startup();

NetSocket net_tcp_socket();  // NET_INVALID_SOCKET on failure
// Its bind claims the port for it alone: a port that another program's socket
// holds fails the bind, also a socket bound to all addresses, which Windows
// would otherwise let share the port.
NetSocket net_udp_socket();

// 0 on success. No address reuse is asked for: a port in use fails the bind.
int net_bind(NetSocket socket, std::uint32_t address, std::uint16_t port);
// True when the last failed bind of this thread was refused for lack of
// privilege (a port below 1024 without the right to bind it).
bool net_last_bind_denied();

// Blocking connect; 0 on success. As the Windows stack does it on every
// build: a refused connection (a device whose web server is not up yet) is
// tried again for about 2 s, and an address that never answers is given up
// after about 21 s.
int net_connect(NetSocket socket, std::uint32_t address, std::uint16_t port);

// Byte counts as the system returns them: > 0 data, 0 closed (or nothing
// asked), < 0 error or "would block" on a non-blocking socket.
int net_send(NetSocket socket, const void* data, int length);
int net_recv(NetSocket socket, void* buffer, int length);
int net_sendto(NetSocket socket, const void* data, int length, std::uint32_t address,
               std::uint16_t port);
// A datagram longer than length is an error (< 0) and is gone, as on
// Windows: it is never handed over cut short.
int net_recvfrom(NetSocket socket, void* buffer, int length, std::uint32_t* address,
                 std::uint16_t* port);

int net_set_nonblocking(NetSocket socket);  // 0 on success
void net_close(NetSocket socket);

// Waits until the socket is readable or the tick count (clock.h) reaches
// `tick`; true if it is readable.
bool net_wait_readable_until(NetSocket socket, std::uint32_t tick);
// Waits for the socket to become readable at most timeout_ms, up to the next
// tick as sleep_ms does; true if it is readable.
bool net_wait_readable(NetSocket socket, int timeout_ms);

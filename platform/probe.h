// Non-blocking TCP connections for the command line's scan, many at once.
// Each system in a file of its own (posix/probe.cpp, win32/probe.cpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sys {

using ProbeSocket = std::intptr_t;
inline constexpr ProbeSocket NO_PROBE = -1;
// Starts a connection; NO_PROBE when it failed at once. *connected is true
// when it is already made.
ProbeSocket probe_connect(std::uint32_t address, std::uint16_t port, bool* connected);
// Whether a connection that signalled completion succeeded.
bool probe_connected(ProbeSocket socket);
// Bytes sent, or -1.
long probe_send(ProbeSocket socket, const char* data, std::size_t size);
// Bytes read; 0 at the end; -1 on an error; -2 when nothing is there yet.
long probe_receive(ProbeSocket socket, char* data, std::size_t size);
void probe_close(ProbeSocket socket);
struct ProbeWait {
  ProbeSocket socket;
  bool writable;  // waits for the connection, else for data
  bool ready = false;
};
// Waits up to timeout_ms for any of them; false on an error.
bool probe_wait(std::vector<ProbeWait>* waits, int timeout_ms);
// How many connections the process may hold at once besides what it has.
long probe_capacity(long wanted);

}  // namespace sys

// The simulator tests' own helpers: digest authentication computed
// independently of the simulator, and the UDP side of a TFTP server.
// Processes, temporary folders, the simulator itself and its verdict are
// tests/support's.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/process.h"
#include "support/sim.h"

namespace simtest {

// MD5 as lower-case hex, or the 16 raw bytes.
std::string md5(const std::string& s, bool hex = true);
// The value of name="..." as the product finds it: first occurrence, up to the next quote.
std::string directive(const std::string& text, const std::string& name);

// The product's Authorization line, computed independently of the simulator.
struct ProductAuth {
  std::string user = "admin", password = "secret";
  unsigned nc = 1;
  std::string cnonce = "1a2b";
  bool hex_sess = false;  // the usual MD5-sess form instead of the product's raw bytes
  std::string uri;        // the product always sends an empty uri

  // For the challenge found in `response` (a 401, or just its directives).
  std::string line(const std::string& response) const;
};

// UDP helpers for the product-style TFTP server in the tests.
struct Datagram {
  Bytes data;
  sockaddr_in from{};
  std::chrono::steady_clock::time_point at;
};
int bind_udp(const std::string& address, uint16_t port = 0);
uint16_t udp_port(int fd);
std::optional<Datagram> recv_datagram(int fd, std::chrono::milliseconds timeout);
void send_datagram(int fd, const sockaddr_in& to, const Bytes& data);
uint16_t opcode(const Bytes& d);
uint16_t block_of(const Bytes& d);

}  // namespace simtest

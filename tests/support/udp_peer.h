// The device's side of a TFTP exchange, for the unit tests of the server: a
// plain UDP socket on loopback and the packets a device sends or expects.
// Header-only, so the unit tests need not link qel_test_support (which needs
// the simulator and the scripted wizard built first).
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace udp_peer {

using Bytes = std::vector<unsigned char>;

inline constexpr std::uint32_t LOOPBACK = 0x7f000001;  // 127.0.0.1

// A UDP socket bound to address:port (port 0: any free one, told in *bound);
// -1 when it cannot be had.
inline int bind_udp(std::uint16_t port = 0, std::uint16_t* bound = nullptr,
                    std::uint32_t address = LOOPBACK) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  a.sin_port = htons(port);
  socklen_t length = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    ::close(fd);
    return -1;
  }
  if (bound) *bound = ntohs(a.sin_port);
  return fd;
}

inline void send_to(int fd, const Bytes& packet, std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(LOOPBACK);
  to.sin_port = htons(port);
  ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// The next datagram within the time, and the port it came from; empty when
// none came (the server never sends an empty one).
inline Bytes receive(int fd, int timeout_ms, std::uint16_t* from_port = nullptr) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return {};
  unsigned char buffer[2048];
  sockaddr_in from{};
  socklen_t length = sizeof from;
  ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) return {};
  if (from_port) *from_port = ntohs(from.sin_port);
  return Bytes(buffer, buffer + n);
}

// ---- packets ----

inline Bytes tftp_packet(std::uint16_t opcode, const std::string& rest) {
  std::string whole{static_cast<char>(opcode >> 8), static_cast<char>(opcode & 0xff)};
  whole += rest;
  return Bytes(whole.begin(), whole.end());
}

inline Bytes tftp_ack(std::uint16_t block) {
  return {0, 4, static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block & 0xff)};
}

// A read request; the mode and options follow the name's NUL as given.
inline Bytes tftp_rrq(const std::string& name,
                      const std::string& rest = std::string("octet\0", 6)) {
  return tftp_packet(1, name + '\0' + rest);
}

// The server's one option acknowledgement: the image's size, a 5 s timeout.
inline Bytes tftp_oack(std::uint32_t size) {
  return tftp_packet(6, "tsize" + std::string(1, '\0') + std::to_string(size) + '\0' + "timeout" +
                            '\0' + "5" + '\0');
}

inline std::uint16_t opcode_of(const Bytes& p) {
  return p.size() < 2 ? 0xffff : static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::uint16_t block_of(const Bytes& p) {
  return p.size() < 4 ? 0xffff : static_cast<std::uint16_t>(p[2] << 8 | p[3]);
}

// The index of the first packet that came sooner than the resend schedule
// allows, -1 when none did. arrivals are the program's clock (ms) when each
// copy of one packet reached the peer, the first copy sent at start: copy k
// is a resend after k * polls idle passes of a tick, the first pass maybe
// short. A copy can arrive late on a busy machine, never early.
inline int first_early_resend(const std::vector<std::uint32_t>& arrivals, std::uint32_t start,
                              double tick_ms, int polls) {
  for (std::size_t k = 1; k < arrivals.size(); ++k) {
    auto earliest = static_cast<std::uint32_t>((static_cast<double>(k) * polls - 1) * tick_ms);
    if (arrivals[k] - start < earliest) return static_cast<int>(k);
  }
  return -1;
}

}  // namespace udp_peer

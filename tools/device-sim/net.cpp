#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {

std::optional<in_addr> parse_ipv4(const std::string& text) {
  uint32_t value = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    size_t start = pos;
    unsigned octet = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3)
      octet = octet * 10 + unsigned(text[pos++] - '0');
    if (pos == start || octet > 255) return std::nullopt;
    value = (value << 8) | octet;
  }
  if (pos != text.size()) return std::nullopt;
  in_addr addr{};
  addr.s_addr = htonl(value);
  return addr;
}

bool is_loopback(in_addr addr) { return (ntohl(addr.s_addr) >> 24) == 127; }

sockaddr_in make_sockaddr(in_addr addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr = addr;
  sa.sin_port = htons(port);
  return sa;
}

std::string to_string(const sockaddr_in& addr) {
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, buf, sizeof buf);
  return std::string(buf) + ":" + std::to_string(ntohs(addr.sin_port));
}

bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int Fd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Fd open_udp(in_addr addr) {
  Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) throw std::runtime_error(std::string("udp socket: ") + std::strerror(errno));
  sockaddr_in sa = make_sockaddr(addr, 0);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
    throw std::runtime_error(std::string("udp bind: ") + std::strerror(errno));
  return fd;
}

uint16_t local_port(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

Waker::Waker() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  read_end_.reset(fds[0]);
  write_end_.reset(fds[1]);
}

void Waker::notify() const {
  char byte = 1;
  // A full pipe already guarantees a wake-up, so the result does not matter.
  [[maybe_unused]] ssize_t n = ::write(write_end_.get(), &byte, 1);
}

void Waker::drain() const {
  char buf[64];
  while (::read(read_end_.get(), buf, sizeof buf) > 0) {
  }
}

}  // namespace sim

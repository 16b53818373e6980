// Small POSIX socket helpers shared by the simulator's HTTP and TFTP sides.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>

namespace sim {

// Strict dotted-quad IPv4 parser ("127.0.0.2"); no host names.
std::optional<in_addr> parse_ipv4(const std::string& text);
bool is_loopback(in_addr addr);
sockaddr_in make_sockaddr(in_addr addr, uint16_t port);
std::string to_string(const sockaddr_in& addr);  // "a.b.c.d:port"
bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b);

// Owns one file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// UDP socket bound to addr:0 (a fresh port). Throws std::runtime_error.
Fd open_udp(in_addr addr);
uint16_t local_port(int fd);

// Self-pipe that wakes a poll() loop; notify() is async-signal-safe.
class Waker {
 public:
  Waker();
  void notify() const;
  void drain() const;
  int fd() const { return read_end_.get(); }

 private:
  Fd read_end_;
  Fd write_end_;
};

}  // namespace sim

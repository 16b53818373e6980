// IPv4 addresses as the command line reads and shows them, and the subnets
// of this PC's interfaces (listed by system.h's interface_subnets).
#pragma once
#include <cstdint>
#include <string>

namespace admin {

// Strict dotted-quad parsing (four decimal parts of 0-255, no shorthand
// forms), host byte order.
bool parse_dotted(const std::string& text, std::uint32_t* address);
std::string dotted(std::uint32_t address);

// An IPv4 address of an interface that is up.
struct Subnet {
  std::string interface_name;
  std::uint32_t address = 0;  // host order
  int prefix = 32;
  bool loopback = false;
  std::uint32_t mask() const { return prefix == 0 ? 0 : ~std::uint32_t(0) << (32 - prefix); }
  bool holds(std::uint32_t other) const { return (address & mask()) == (other & mask()); }
};

}  // namespace admin

// The IPv4 subnets of this PC's interfaces, for the command line (POSIX:
// posix/host.cpp, from the same walk of the interfaces as the wizard's own
// address list; Windows: win32/host.cpp, from the adapters).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace sys {

// An IPv4 address of an interface that is up.
struct Subnet {
  std::string interface_name;
  std::uint32_t address = 0;  // host order
  int prefix = 32;
  bool loopback = false;
  std::uint32_t mask() const { return prefix == 0 ? 0 : ~std::uint32_t(0) << (32 - prefix); }
  bool holds(std::uint32_t other) const { return (address & mask()) == (other & mask()); }
};

std::vector<Subnet> interface_subnets();

}  // namespace sys

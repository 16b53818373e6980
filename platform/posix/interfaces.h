// Internal to the POSIX platform (exposed for its tests): the order the PC's
// own addresses are offered in.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One IPv4 address of an interface, as the POSIX address list reads it.
struct InterfaceAddress {
  std::string name;
  unsigned index;         // interface order
  std::uint32_t address;  // host byte order
  bool up;
  bool loopback;
};

// The default route's interface first, then interface order; loopback only
// when there is nothing else; each address once.
std::vector<std::uint32_t> order_interface_addresses(std::vector<InterfaceAddress> found,
                                                     const std::string& default_interface);

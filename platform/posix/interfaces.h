// Internal to the POSIX platform (exposed for its tests): the PC's own
// addresses, and the order they are offered in.
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
  int prefix = 32;
};

// The default route's interface first, then interface order; loopback only
// when there is nothing else; each address once.
std::vector<std::uint32_t> order_interface_addresses(std::vector<InterfaceAddress> found,
                                                     const std::string& default_interface);

// Every IPv4 address of the interfaces, up or not: the one walk that both
// the wizard's address list and the command line's subnets read. False
// when the interfaces cannot be read.
bool read_interfaces(std::vector<InterfaceAddress>* found);

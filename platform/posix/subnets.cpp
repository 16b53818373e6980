// This PC's subnets on POSIX (subnets.h), from the same walk of the
// interfaces as the wizard's address list.
#include "platform/subnets.h"

#include "platform/posix/interfaces.h"

std::vector<sys::Subnet> sys::interface_subnets() {
  std::vector<InterfaceAddress> found;
  std::vector<Subnet> subnets;
  if (!read_interfaces(&found)) return subnets;
  for (const InterfaceAddress& a : found)
    if (a.up && a.address != 0) subnets.push_back({a.name, a.address, a.prefix, a.loopback});
  return subnets;
}

#include "platform/host.h"
#include "platform/options.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/interfaces.h"
#if QEL_TEST_SEAMS
#include "platform/posix/seams.h"
#endif

namespace {

// The interface of the IPv4 default route ("" when there is none), from the
// kernel's routing table; the one with the lowest metric wins.
std::string default_route_interface() {
  std::FILE* routes = std::fopen("/proc/net/route", "re");
  if (!routes) return "";
  char line[256];
  std::string best;
  unsigned long best_metric = ~0ul;
  bool header = true;
  while (std::fgets(line, sizeof line, routes)) {
    if (header) {
      header = false;
      continue;
    }
    char name[IFNAMSIZ + 1];
    unsigned long destination, gateway, flags, refs, use, metric, mask;
    if (std::sscanf(line, "%16s %lx %lx %lx %lu %lu %lu %lx", name, &destination, &gateway, &flags,
                    &refs, &use, &metric, &mask) != 8)
      continue;
    if (destination == 0 && mask == 0 && (flags & RTF_UP) && metric < best_metric) {
      best = name;
      best_metric = metric;
    }
  }
  std::fclose(routes);
  return best;
}

int prefix_of(std::uint32_t mask) {
  int prefix = 0;
  while (prefix < 32 && (mask & (std::uint32_t(1) << (31 - prefix)))) ++prefix;
  return prefix;
}

}  // namespace

bool read_interfaces(std::vector<InterfaceAddress>* found) {
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return false;
  for (ifaddrs* i = interfaces; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    const auto* sa = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    int prefix = 32;
    if (i->ifa_netmask)
      prefix =
          prefix_of(ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr));
    found->push_back({i->ifa_name, ::if_nametoindex(i->ifa_name), ntohl(sa->sin_addr.s_addr),
                      (i->ifa_flags & IFF_UP) != 0, (i->ifa_flags & IFF_LOOPBACK) != 0, prefix});
  }
  ::freeifaddrs(interfaces);
  return true;
}

std::vector<std::uint32_t> order_interface_addresses(std::vector<InterfaceAddress> found,
                                                     const std::string& default_interface) {
  // The default route's interface first, then interface order; the sort is
  // stable, so each interface keeps its own addresses' order.
  std::stable_sort(found.begin(), found.end(),
                   [&](const InterfaceAddress& a, const InterfaceAddress& b) {
                     bool a_default = a.name == default_interface;
                     bool b_default = b.name == default_interface;
                     if (a_default != b_default) return a_default;
                     return a.index < b.index;
                   });
  std::vector<std::uint32_t> ordered;
  std::vector<std::uint32_t> loopback;
  for (const InterfaceAddress& a : found) {
    if (!a.up || a.address == 0) continue;
    std::vector<std::uint32_t>& list = a.loopback ? loopback : ordered;
    if (std::find(list.begin(), list.end(), a.address) == list.end()) list.push_back(a.address);
  }
  return ordered.empty() ? loopback : ordered;
}

namespace {

// The PC's addresses in the order they are offered; false when the
// interfaces cannot be read.
bool interface_addresses(std::vector<std::uint32_t>* list) {
  std::vector<InterfaceAddress> found;
  if (!read_interfaces(&found)) return false;
  *list = order_interface_addresses(std::move(found), default_route_interface());
  return true;
}

#if QEL_TEST_SEAMS
std::mutex seam_lock;
bool seam_active = false;
bool seam_resolves = false;
std::vector<std::uint32_t> seam_addresses;

// Whether a test replaced the list; if so, the list and whether it resolves.
bool replaced_addresses(std::vector<std::uint32_t>* list, bool* resolves) {
  std::lock_guard lock(seam_lock);
  if (!seam_active) return false;
  *resolves = seam_resolves;
  if (seam_resolves) *list = seam_addresses;
  return true;
}
#endif

}  // namespace

#if QEL_TEST_SEAMS
void seam_set_host_addresses(const std::uint32_t* addresses, int count, bool resolves) {
  std::lock_guard lock(seam_lock);
  seam_active = true;
  seam_resolves = resolves;
  seam_addresses.assign(addresses, addresses + count);
}

void seam_clear_host_addresses() {
  std::lock_guard lock(seam_lock);
  seam_active = false;
}
#endif

int host_get_name(char* buffer, int length) {
  if (length <= 0) return -1;
  if (::gethostname(buffer, static_cast<size_t>(length)) != 0) {
    buffer[0] = '\0';
    return -1;
  }
  buffer[length - 1] = '\0';
  return 0;
}

int host_own_addresses(const char*, std::uint32_t* addresses, int max) {
  std::vector<std::uint32_t> list;
  bool resolves = false;
  bool replaced = false;
#if QEL_TEST_SEAMS
  replaced = replaced_addresses(&list, &resolves);
#endif
  if (!replaced) resolves = interface_addresses(&list);
  if (!resolves) return -1;
  std::uint32_t first = platform_options().preferred_local_address;
  auto at = std::find(list.begin(), list.end(), first);
  if (first != 0 && at != list.end()) std::rotate(list.begin(), at, at + 1);
  int n = std::min(max, static_cast<int>(list.size()));
  std::copy_n(list.begin(), n, addresses);
  return n;
}

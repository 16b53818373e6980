#include <windows.h>
#include <winsock.h>

#include <algorithm>
#include <cstring>

#include "platform/host.h"
#include "platform/options.h"

int host_get_name(char* buffer, int length) {
  if (length <= 0) return -1;
  if (gethostname(buffer, length) != 0) {
    buffer[0] = '\0';
    return -1;
  }
  buffer[length - 1] = '\0';
  return 0;
}

// The host entry's list in its order (a preferred address first, when the
// command line chose one); every entry is taken as a 4-byte IPv4 address.
int host_own_addresses(const char* name, std::uint32_t* addresses, int max) {
  const hostent* entry = gethostbyname(name);
  if (!entry) return -1;
  int n = 0;
  for (char** p = entry->h_addr_list; p && *p && n < max; ++p) {
    u_long network_order;
    std::memcpy(&network_order, *p, sizeof network_order);
    addresses[n++] = ntohl(network_order);
  }
  // The address the program chose toward the device first, when it is there.
  std::uint32_t first = platform_options().preferred_local_address;
  std::uint32_t* at = std::find(addresses, addresses + n, first);
  if (first != 0 && at != addresses + n) std::rotate(addresses, at, at + 1);
  return n;
}

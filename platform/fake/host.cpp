#include "platform/host.h"

#include <cstdio>

int host_get_name(char* buffer, int length) {
  std::snprintf(buffer, static_cast<std::size_t>(length), "fuzz");
  return 0;
}

// Loopback only.
int host_own_addresses(const char*, std::uint32_t* addresses, int max) {
  if (max > 0) addresses[0] = 0x7f000001;
  return max > 0 ? 1 : 0;
}

#include "platform/host.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <unistd.h>
#include <vector>

#include "platform/posix/seams.h"

namespace {

std::mutex seam_lock;
bool seam_active = false;
bool seam_resolves = false;
std::vector<std::uint32_t> seam_addresses;

}  // namespace

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

int host_get_name(char* buffer, int length) {
  if (length <= 0) return -1;
  if (::gethostname(buffer, static_cast<size_t>(length)) != 0) {
    buffer[0] = '\0';
    return -1;
  }
  buffer[length - 1] = '\0';
  return 0;
}

int host_lookup_addresses(const char* name, std::uint32_t* addresses, int max) {
  {
    std::lock_guard lock(seam_lock);
    if (seam_active) {
      if (!seam_resolves) return -1;
      int n = std::min(max, static_cast<int>(seam_addresses.size()));
      std::copy_n(seam_addresses.begin(), n, addresses);
      return n;
    }
  }
  // getaddrinfo keeps the resolver's order, as gethostbyname's list does.
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &list) != 0) return -1;
  int n = 0;
  for (addrinfo* a = list; a && n < max; a = a->ai_next) {
    auto* sa = reinterpret_cast<sockaddr_in*>(a->ai_addr);
    std::uint32_t address = ntohl(sa->sin_addr.s_addr);
    if (std::find(addresses, addresses + n, address) == addresses + n) addresses[n++] = address;
  }
  ::freeaddrinfo(list);
  return n;
}

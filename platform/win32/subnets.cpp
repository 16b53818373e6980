// This PC's subnets on Windows (subnets.h), from its adapters.
#include <winsock2.h>
#include <ws2tcpip.h>
// After the socket headers, which must come before windows.h.
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>

#include "platform/subnets.h"
#include "platform/win32/wide.h"

namespace sys {

std::vector<Subnet> interface_subnets() {
  std::vector<Subnet> found;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG status = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && status == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    status = GetAdaptersAddresses(
        AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
        nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (status != NO_ERROR) return found;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp) continue;
    for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u; u = u->Next) {
      const SOCKADDR* address = u->Address.lpSockaddr;
      if (!address || address->sa_family != AF_INET) continue;
      Subnet s;
      s.interface_name =
          a->FriendlyName ? win32::to_utf8(a->FriendlyName) : std::string(a->AdapterName);
      s.address = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
      s.prefix = std::min<int>(32, u->OnLinkPrefixLength);
      s.loopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK || (s.address >> 24) == 127;
      if (s.address != 0) found.push_back(s);
    }
  }
  return found;
}

}  // namespace sys

#include "frontends/common/privilege.h"

#include "frontends/common/text.h"
#include "platform/net.h"
#include "platform/process.h"

namespace frontend {

std::string tftp_bind_refusal(std::uint32_t local_address) {
  bool refused = false;
  for (int port = 69; port <= 168; ++port) {
    NetSocket socket = net_udp_socket();
    if (socket == NET_INVALID_SOCKET) return "";  // the wizard will say what is wrong
    // Through the platform, so that the port helper is asked as the listener will ask it.
    bool bound = net_bind(socket, local_address, static_cast<std::uint16_t>(port)) == 0;
    bool denied = !bound && net_last_bind_denied();
    net_close(socket);
    if (bound) return "";
    refused = refused || denied;
  }
  if (!refused) return "";
  return std::string("Upgrade Failed: Can't bind TFTP listener socket\r\n") +
         process_bind_privilege_hint();
}

std::string terminal_lines(const std::string& text, const char* indent_command) {
  std::string out;
  for (const std::string& line : split_lines(text)) {
    if (line.rfind("sudo ", 0) == 0) out += indent_command;
    out += line + "\n";
  }
  return out;
}

}  // namespace frontend

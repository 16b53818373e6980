#include "harness.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <stdexcept>

namespace simtest {

std::string md5(const std::string& s, bool hex) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(s.data(), s.size(), d, &n, EVP_md5(), nullptr);
  if (!hex) return std::string(reinterpret_cast<char*>(d), n);
  std::string out;
  char two[3];
  for (unsigned i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", d[i]);
    out += two;
  }
  return out;
}

std::string directive(const std::string& text, const std::string& name) {
  size_t at = text.find(name + "=\"");
  if (at == std::string::npos) return "";
  at += name.size() + 2;
  return text.substr(at, text.find('"', at) - at);
}

std::string ProductAuth::line(const std::string& response) const {
  std::string realm = directive(response, "realm"), nonce = directive(response, "nonce"),
              qop = directive(response, "qop"), algorithm = directive(response, "algorithm"),
              opaque = directive(response, "opaque");
  std::string ha1 = md5(user + ":" + realm + ":" + password);
  if (algorithm == "MD5-sess") {
    std::string first = hex_sess ? ha1 : md5(user + ":" + realm + ":" + password, false);
    ha1 = md5(first + ":" + nonce + ":" + cnonce);
  }
  std::string ha2 = md5("GET:" + uri + (qop == "auth-int" ? ":" + md5("") : ""));
  char ncs[16];
  std::snprintf(ncs, sizeof ncs, "%09x", nc);
  std::string resp =
      qop.empty() ? md5(ha1 + ":" + nonce + ":" + ha2)
                  : md5(ha1 + ":" + nonce + ":" + ncs + ":" + cnonce + ":" + qop + ":" + ha2);
  std::string out = "Authorization: Digest username=\"" + user + "\",realm=\"" + realm +
                    "\",nonce=\"" + nonce + "\",uri=\"" + uri + "\",algorithm=\"" + algorithm +
                    "\",response=\"" + resp + "\"";
  if (!opaque.empty()) out += ",opaque=\"" + opaque + "\"";
  if (!qop.empty()) out += ",qop=" + qop + ",nc=" + ncs + ",cnonce=\"" + cnonce + "\"";
  return out + "\r\n";
}

int bind_udp(const std::string& address, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
    throw std::runtime_error("udp bind failed");
  return fd;
}

uint16_t udp_port(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

std::optional<Datagram> recv_datagram(int fd, std::chrono::milliseconds timeout) {
  pollfd pfd{fd, POLLIN, 0};
  if (::poll(&pfd, 1, int(timeout.count())) <= 0) return std::nullopt;
  Datagram d;
  d.data.resize(65536);
  socklen_t len = sizeof d.from;
  ssize_t n =
      ::recvfrom(fd, d.data.data(), d.data.size(), 0, reinterpret_cast<sockaddr*>(&d.from), &len);
  if (n < 0) return std::nullopt;
  d.data.resize(size_t(n));
  d.at = std::chrono::steady_clock::now();
  return d;
}

void send_datagram(int fd, const sockaddr_in& to, const Bytes& data) {
  ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

uint16_t opcode(const Bytes& d) { return d.size() >= 2 ? uint16_t(d[0] << 8 | d[1]) : 0; }
uint16_t block_of(const Bytes& d) { return d.size() >= 4 ? uint16_t(d[2] << 8 | d[3]) : 0; }

}  // namespace simtest

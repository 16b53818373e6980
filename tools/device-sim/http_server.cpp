#include "http_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMaxHead = size_t{64} * 1024;
constexpr auto kReadTimeout = std::chrono::seconds(10);

bool iequals(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

const char* reason_phrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    default:
      return "Error";
  }
}

std::string simple_page(const std::string& title, const std::string& text) {
  return "<html><head><title>" + title + "</title></head>\n<body><h2>" + title + "</h2>\n<p>" +
         text + "</p></body></html>\n";
}

std::vector<std::string> split_lines(const std::string& head) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < head.size()) {
    size_t end = head.find('\n', start);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::optional<UpgradeTarget> parse_upgrade_target(const std::string& target) {
  const std::string prefix = "/admin/upgrade?";
  if (target.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  std::string url = target.substr(prefix.size());
  if (!iequals(url.substr(0, 7), "tftp://")) return std::nullopt;
  size_t host_end = url.find_first_of(":/", 7);
  if (host_end == std::string::npos) return std::nullopt;
  auto addr = parse_ipv4(url.substr(7, host_end - 7));
  if (!addr) return std::nullopt;
  unsigned port = 69;
  size_t name_at = host_end;
  if (url[host_end] == ':') {
    name_at = url.find('/', host_end);
    std::string digits = url.substr(host_end + 1, name_at - host_end - 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    port = unsigned(std::stoul(digits));
    if (port == 0 || port > 65535 || name_at == std::string::npos) return std::nullopt;
  }
  std::string file = url.substr(name_at);
  if (file.size() < 2) return std::nullopt;
  return UpgradeTarget{make_sockaddr(*addr, uint16_t(port)), file};
}

HttpServer::HttpServer(const Config& cfg, Device& device, EventLog& log,
                       const std::atomic<bool>& stop, const Waker& waker)
    : cfg_(cfg), device_(device), log_(log), stop_(stop), waker_(waker) {}

HttpServer::~HttpServer() { join_connections(); }

HttpServer::Response HttpServer::reply(int status, std::string body) {
  Response r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

Fd HttpServer::bind_socket() const {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) throw std::runtime_error(std::string("tcp socket: ") + std::strerror(errno));
  int one = 1;
  // Lets the port be bound again after a reflash while old connections linger.
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // A device switched on late may find its address on the LAN only when it
  // comes up (the lab adds it then, so that until then nobody answers ARP).
  if (cfg_.up_after_seconds > 0) ::setsockopt(fd.get(), IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&bound_), sizeof bound_) != 0)
    throw std::runtime_error("cannot bind " + to_string(bound_) + ": " + std::strerror(errno));
  return fd;
}

uint16_t HttpServer::start() {
  bound_ = make_sockaddr(*parse_ipv4(cfg_.address), cfg_.http_port);
  listener_ = bind_socket();
  bound_.sin_port = htons(local_port(listener_.get()));
  follow_device_state();
  return ntohs(bound_.sin_port);
}

// A bound socket that is not listening makes the kernel refuse connections,
// while keeping the port ours for when the device comes back.
void HttpServer::follow_device_state() {
  bool online = device_.online();
  bool want = online && !cfg_.http_refuse;
  try {
    if (!listener_.valid()) listener_ = bind_socket();
    if (want && !listening_) {
      if (::listen(listener_.get(), 64) != 0)
        throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
      listening_ = true;
    } else if (!want && listening_) {
      listening_ = false;
      listener_.reset();
      listener_ = bind_socket();
    }
  } catch (const std::runtime_error& e) {
    log_.write(std::string("HTTP-ERROR ") + e.what());
    return;  // tried again on the next pass
  }
  device_.online_applied(online);
}

void HttpServer::run(Clock::time_point deadline) {
  while (!stop_ && Clock::now() < deadline) {
    follow_device_state();
    pollfd fds[2] = {{waker_.fd(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
    int n = ::poll(fds, listening_ ? 2 : 1, 100);
    if (n <= 0) continue;
    if (fds[0].revents) waker_.drain();
    if (listening_ && (fds[1].revents & POLLIN)) accept_one();
    // Forget connections that have finished.
    auto finished = std::remove_if(connections_.begin(), connections_.end(), [](Connection& c) {
      if (!*c.done) return false;
      c.thread.join();
      return true;
    });
    connections_.erase(finished, connections_.end());
  }
}

void HttpServer::join_connections() {
  for (Connection& c : connections_) c.thread.join();
  connections_.clear();
}

void HttpServer::accept_one() {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  int fd = ::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  if (fd < 0) return;
  auto done = std::make_shared<std::atomic<bool>>(false);
  connections_.push_back({std::thread([this, fd, peer, done] {
                            Fd conn(fd);
                            serve(conn.get(), peer);
                            *done = true;
                          }),
                          done});
}

void HttpServer::serve(int fd, const sockaddr_in& peer) {
  log_.write("HTTP-CONN from=" + to_string(peer));
  timeval send_timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);

  std::string head;
  auto until = Clock::now() + kReadTimeout;
  while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
    if (stop_ || Clock::now() >= until || head.size() > kMaxHead) {
      log_.write("HTTP-CLOSE incomplete request bytes=" + std::to_string(head.size()));
      return;
    }
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 100) <= 0) continue;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      log_.write("HTTP-CLOSE incomplete request bytes=" + std::to_string(head.size()));
      return;
    }
    head.append(buf, size_t(n));
  }

  std::vector<std::string> lines = split_lines(head);
  std::string request_line = lines.empty() ? "" : lines[0];
  log_.write("HTTP-REQ " + request_line);
  std::optional<std::string> authorization;
  for (size_t i = 1; i < lines.size(); ++i) {
    log_.write("HTTP-HDR " + lines[i]);
    size_t colon = lines[i].find(':');
    if (colon != std::string::npos && iequals(lines[i].substr(0, colon), "Authorization")) {
      size_t v = lines[i].find_first_not_of(" \t", colon + 1);
      authorization = v == std::string::npos ? "" : lines[i].substr(v);
    }
  }

  if (cfg_.http_hang) {
    log_.write("HTTP-RESP none (hang)");
    wait_for_close(fd, 1e9);
    return;
  }
  if (cfg_.http_close_without_answer) {
    log_.write("HTTP-RESP none (closed)");
    return;
  }

  size_t sp1 = request_line.find(' ');
  size_t sp2 = sp1 == std::string::npos ? sp1 : request_line.find(' ', sp1 + 1);
  Response response;
  if (sp2 == std::string::npos || request_line.find(' ', sp2 + 1) != std::string::npos ||
      request_line.compare(sp2 + 1, 5, "HTTP/") != 0) {
    response = reply(400, simple_page("Bad Request", "Malformed request line."));
  } else {
    response = handle(request_line.substr(0, sp1), request_line.substr(sp1 + 1, sp2 - sp1 - 1),
                      authorization ? &*authorization : nullptr);
  }
  send_response(fd, response);
  log_.write("HTTP-RESP " + std::to_string(response.status));
  if (response.upgrade) {
    log_.write("UPGRADE request server=" + to_string(response.upgrade->server) +
               " file=" + response.upgrade->file);
    device_.request_upgrade(*response.upgrade);
  }

  if (cfg_.http_keep_open_seconds > 0) {
    wait_for_close(fd, cfg_.http_keep_open_seconds);
    return;
  }
  if (response.upgrade && cfg_.hold_upgrade_seconds > 0) {
    log_.write("HTTP-HOLD upgrade request");
    wait_for_close(fd, cfg_.hold_upgrade_seconds);
    return;
  }
  // Half-close and let the client close first, so that it never sees a reset.
  ::shutdown(fd, SHUT_WR);
  wait_for_close(fd, 1.0);
}

HttpServer::Response HttpServer::handle(const std::string& method, const std::string& target,
                                        const std::string* authorization) {
  if (method != "GET")
    return reply(405, simple_page("Method Not Allowed", "Only GET is supported."));

  DigestGuard& guard = device_.guard();
  if (guard.enabled() || cfg_.no_challenge) {
    AuthResult auth;
    if (!guard.enabled()) {
      auth.reason = "no-password";
    } else {
      auth = guard.check(authorization, target);
    }
    if (auth.ok) {
      log_.write("HTTP-AUTH ok" + (auth.nc.empty() ? "" : " nc=" + auth.nc) +
                 (auth.sess_form.empty() ? "" : " sess=" + auth.sess_form));
    } else {
      log_.write(auth.reason == "missing" ? "HTTP-AUTH none"
                                          : "HTTP-AUTH bad reason=" + auth.reason);
      Response r = reply(401, simple_page("401 Unauthorized", "Authorization required."));
      r.challenge = !cfg_.no_challenge;
      return r;
    }
  }

  if (target == "/admin/advanced") return reply(200, info_page());
  if (target.rfind("/admin/upgrade?", 0) == 0) {
    auto upgrade = parse_upgrade_target(target);
    if (!upgrade) {
      log_.write("UPGRADE bad-request " + target);
      return reply(400, simple_page("Bad Request", "Expected upgrade?tftp://A.B.C.D:PORT/FILE"));
    }
    if (!is_loopback(upgrade->server.sin_addr) && !cfg_.allow_any_address) {
      log_.write("UPGRADE refused non-loopback server=" + to_string(upgrade->server));
      return reply(403, simple_page("Forbidden", "TFTP server outside loopback refused."));
    }
    Response r = reply(200, simple_page("Firmware Upgrade", "Upgrading firmware, please wait..."));
    r.upgrade = upgrade;
    return r;
  }
  return reply(404, simple_page("Not Found", "No such page."));
}

void HttpServer::send_response(int fd, const Response& r) {
  std::string text = std::string(cfg_.http10_status ? "HTTP/1.0 " : "HTTP/1.1 ") +
                     std::to_string(r.status) + " " + reason_phrase(r.status) +
                     "\r\nServer: QEL-httpd\r\nContent-Type: text/html\r\n";
  if (r.challenge) text += "WWW-Authenticate: " + device_.guard().challenge() + "\r\n";
  if (r.status == 405) text += "Allow: GET\r\n";
  text += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
  bool held = cfg_.http_keep_open_seconds > 0 || (r.upgrade && cfg_.hold_upgrade_seconds > 0);
  if (!held) text += "Connection: close\r\n";
  text += "\r\n" + r.body;
  for (size_t sent = 0; sent < text.size();) {
    ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += size_t(n);
  }
}

std::string HttpServer::info_page() const {
  PageState state = device_.page();
  auto row = [](const char* label, const std::string& value) {
    return std::string("<tr><td class=\"l\">") + label + "</td><td>" + value + "</td></tr>\n";
  };
  std::string rows = row("Product Name:", cfg_.product) + row("Serial Number:", cfg_.serial);
  if (state.show_software_version) rows += row("Software Version:", state.software_version);
  rows += row("Hardware Version:", cfg_.hardware) + row("MAC Address:", cfg_.mac) +
          row("Client Certificate:", "Installed") + row("Customization:", "Open");
  std::string head =
      "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n"
      "<html>\n<head>\n"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">\n"
      "<title>" +
      cfg_.product + " Configuration Utility</title>\n";
  return head +
         "<style type=\"text/css\">td.l{text-align:right;font-weight:bold;padding-right:8px}"
         "</style>\n"
         "</head>\n<body>\n<h2>Advanced &gt; Device Information</h2>\n"
         "<table class=\"info\" cellspacing=\"0\" cellpadding=\"2\">\n" +
         rows + "</table>\n" +
         "<p><a href=\"/admin/voice\">Voice</a> | <a href=\"/admin/upgrade\">Upgrade</a></p>\n"
         "</body>\n</html>\n";
}

void HttpServer::wait_for_close(int fd, double seconds) const {
  auto until = Clock::now() +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (!stop_ && Clock::now() < until) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 100) <= 0) continue;
    char buf[4096];
    if (::recv(fd, buf, sizeof buf, 0) <= 0) return;
  }
}

}  // namespace sim

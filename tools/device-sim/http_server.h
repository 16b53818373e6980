// The device's web server: information page, upgrade request, digest
// protection and the HTTP faults. One thread per connection.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "device.h"
#include "event_log.h"
#include "net.h"

namespace sim {

// Parses "/admin/upgrade?tftp://A.B.C.D:PORT/NAME"; NAME keeps its leading "/".
std::optional<UpgradeTarget> parse_upgrade_target(const std::string& request_target);

class HttpServer {
 public:
  HttpServer(const Config& cfg, Device& device, EventLog& log, const std::atomic<bool>& stop,
             const Waker& waker);
  ~HttpServer();

  // Binds (and listens unless refusing); returns the port. Throws std::runtime_error.
  uint16_t start();
  // Accepts connections until `stop` is set or the deadline passes.
  void run(std::chrono::steady_clock::time_point deadline);
  void join_connections();

 private:
  struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  struct Response {
    int status = 200;
    std::string body;
    bool challenge = false;
    std::optional<UpgradeTarget> upgrade;  // started once the response is out
  };

  static Response reply(int status, std::string body);
  Fd bind_socket() const;
  void follow_device_state();
  void accept_one();
  void serve(int fd, const sockaddr_in& peer);
  Response handle(const std::string& method, const std::string& target,
                  const std::string* authorization);
  void send_response(int fd, const Response& response);
  std::string info_page() const;
  // Returns when the client closes, `seconds` pass or the simulator stops.
  void wait_for_close(int fd, double seconds) const;

  const Config& cfg_;
  Device& device_;
  EventLog& log_;
  const std::atomic<bool>& stop_;
  const Waker& waker_;
  sockaddr_in bound_{};
  Fd listener_;
  bool listening_ = false;
  std::vector<Connection> connections_;
};

}  // namespace sim

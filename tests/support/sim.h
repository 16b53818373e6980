// The device simulator (qel-device-sim) as a separate process: starting and
// stopping it, its log and verdict, the images it receives, its web server.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"
#include "support/slowness.h"

namespace simtest {

// One simulator process on port 0 of `address` (unless args say otherwise),
// with its log, verdict and port file in a folder of its own; it ends by
// itself after 30 s (scaled) unless args give another --time-limit. program: the
// simulator to run, this build's by default.
class Sim {
 public:
  explicit Sim(std::vector<std::string> args, const std::string& address = "127.0.0.2",
               const std::string& program = QEL_DEVICE_SIM);

  uint16_t port() const { return port_; }
  const std::string& address() const { return address_; }
  std::string log() const { return read_text(dir_.file("log")); }
  bool wait_log(const std::string& needle, std::chrono::milliseconds timeout = patient(10s)) const;
  // SIGTERM, wait, return the verdict JSON ("" if none was written).
  std::string stop();
  // Waits for the process to end by itself.
  bool wait_exit(std::chrono::milliseconds timeout) { return process_.wait(timeout); }
  int exit_code() const { return process_.exit_code(); }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string address_;
  Process process_;
  uint16_t port_ = 0;
};

// The lines of a log that start with prefix (the simulator's log).
std::vector<std::string> log_lines_starting(const std::string& log, const std::string& prefix);

// A firmware image: magic in bytes 0..15, NUL-terminated version at 92, the rest pseudo-random.
Bytes make_image(size_t size, const std::string& version,
                 const std::string& magic = "TpArMeM fIrMwArE");

// ---- the verdict (and other JSON the tools write) ----

// A JSON text parsed with its members in written order; null when it is not JSON.
nlohmann::ordered_json parse_json(const std::string& text);
// The first member named key in a JSON text, depth first in written order,
// as JSON text ("<absent>" when there is none): in a verdict the run's own
// fields, else its first transfer's.
std::string json_value(const std::string& json, const std::string& key);

// ---- the device's web server ----

struct HttpReply {
  bool connected = false;
  bool closed = false;  // the device closed the connection within the timeout
  std::string text;
  std::chrono::milliseconds elapsed{0};  // from sending to close (or timeout)
};

// Sends `request` as is and reads until the device closes or `timeout` passes.
HttpReply http_exchange(const std::string& address, uint16_t port, const std::string& request,
                        std::chrono::milliseconds timeout = patient(3s));
// The product's request: request line, its fixed Host line, optional Authorization line.
std::string product_request(const std::string& path, const std::string& authorization_line = "");
int status_of(const std::string& response);  // 0 when there is no status line

}  // namespace simtest

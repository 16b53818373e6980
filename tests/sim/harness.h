// Helpers for driving qel-device-sim as a separate process.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace simtest {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

// A private directory under /tmp, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_text(const std::string& path);
void write_bytes(const std::string& path, const Bytes& data);
bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

// A firmware image: magic in bytes 0..15, NUL-terminated version at 92, the rest pseudo-random.
Bytes make_image(size_t size, const std::string& version,
                 const std::string& magic = "TpArMeM fIrMwArE");

// Runs a program, returns its exit code; stdout goes to *out when given.
int run_program(const std::vector<std::string>& argv, std::string* out = nullptr);

// One simulator process on port 0 of `address`, with log, verdict and port file.
class Sim {
 public:
  explicit Sim(std::vector<std::string> args, const std::string& address = "127.0.0.2");
  ~Sim();

  uint16_t port() const { return port_; }
  const std::string& address() const { return address_; }
  std::string log() const { return read_text(dir_.file("log")); }
  bool wait_log(const std::string& needle, std::chrono::milliseconds timeout = 10s) const;
  // SIGTERM, wait, return the verdict JSON ("" if none was written).
  std::string stop();
  // Waits for the process to end by itself.
  bool wait_exit(std::chrono::milliseconds timeout);
  int exit_code() const { return exit_code_; }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string address_;
  pid_t pid_ = -1;
  int exit_code_ = -1;
  uint16_t port_ = 0;
};

struct HttpReply {
  bool connected = false;
  bool closed = false;  // the device closed the connection within the timeout
  std::string text;
  std::chrono::milliseconds elapsed{0};  // from sending to close (or timeout)
};

// Sends `request` as is and reads until the device closes or `timeout` passes.
HttpReply http_exchange(const std::string& address, uint16_t port, const std::string& request,
                        std::chrono::milliseconds timeout = 3s);
// The product's request: request line, its fixed Host line, optional Authorization line.
std::string product_request(const std::string& path, const std::string& authorization_line = "");
int status_of(const std::string& response);  // 0 when there is no status line

// First `"key":value` of a JSON text from position `from`: the raw value text.
std::string json_value(const std::string& json, const std::string& key, size_t from = 0);

// MD5 as lower-case hex, or the 16 raw bytes.
std::string md5(const std::string& s, bool hex = true);
// The value of name="..." as the product finds it: first occurrence, up to the next quote.
std::string directive(const std::string& text, const std::string& name);

// The product's Authorization line, computed independently of the simulator.
struct ProductAuth {
  std::string user = "admin", password = "secret";
  unsigned nc = 1;
  std::string cnonce = "1a2b";
  bool hex_sess = false;  // the usual MD5-sess form instead of the product's raw bytes
  std::string uri;        // the product always sends an empty uri

  // For the challenge found in `response` (a 401, or just its directives).
  std::string line(const std::string& response) const;
};

// UDP helpers for the product-style TFTP server in the tests.
struct Datagram {
  Bytes data;
  sockaddr_in from{};
  std::chrono::steady_clock::time_point at;
};
int bind_udp(const std::string& address, uint16_t port = 0);
uint16_t udp_port(int fd);
std::optional<Datagram> recv_datagram(int fd, std::chrono::milliseconds timeout);
void send_datagram(int fd, const sockaddr_in& to, const Bytes& data);
uint16_t opcode(const Bytes& d);
uint16_t block_of(const Bytes& d);

}  // namespace simtest

#include "tftp_client.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "faults.h"
#include "net.h"

namespace sim {
namespace {

enum Opcode : uint16_t { RRQ = 1, WRQ = 2, DATA = 3, ACK = 4, ERROR = 5, OACK = 6 };

constexpr size_t kMaxImage = 64u << 20;
using Clock = std::chrono::steady_clock;
using Packet = std::vector<unsigned char>;

uint16_t get16(const Packet& p, size_t at) { return uint16_t(p[at] << 8 | p[at + 1]); }

void put16(Packet& p, uint16_t v) {
  p.push_back(uint8_t(v >> 8));
  p.push_back(uint8_t(v));
}

void put_cstr(Packet& p, const std::string& s) {
  p.insert(p.end(), s.begin(), s.end());
  p.push_back(0);
}

// NUL-terminated strings from `at` on; a missing last NUL ends the text at the datagram's end.
std::vector<std::string> cstrings(const Packet& p, size_t at) {
  std::vector<std::string> out;
  while (at < p.size()) {
    auto end = std::find(p.begin() + long(at), p.end(), 0);
    out.emplace_back(p.begin() + long(at), end);
    at = size_t(end - p.begin()) + 1;
  }
  return out;
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

std::string describe(const Packet& p) {
  std::string len = "len=" + std::to_string(p.size());
  if (p.size() < 2) return "SHORT " + len;
  switch (get16(p, 0)) {
    case OACK: {
      std::string out = "OACK";
      auto s = cstrings(p, 2);
      for (size_t i = 0; i + 1 < s.size(); i += 2) out += " " + s[i] + "=" + s[i + 1];
      if (s.size() % 2) out += " " + s.back();
      return out + " " + len;
    }
    case DATA:
      return p.size() < 4 ? "DATA " + len : "DATA block=" + std::to_string(get16(p, 2)) + " " + len;
    case ACK:
      return p.size() < 4 ? "ACK " + len : "ACK block=" + std::to_string(get16(p, 2)) + " " + len;
    case ERROR: {
      if (p.size() < 4) return "ERROR " + len;
      auto s = cstrings(p, 4);
      return "ERROR code=" + std::to_string(get16(p, 2)) + " msg=" + (s.empty() ? "" : s[0]) + " " +
             len;
    }
    case RRQ:
    case WRQ: {
      auto s = cstrings(p, 2);
      return std::string(get16(p, 0) == RRQ ? "RRQ " : "WRQ ") + (s.empty() ? "" : s[0]) + " " +
             len;
    }
    default:
      return "OPCODE " + std::to_string(get16(p, 0)) + " " + len;
  }
}

class Session {
 public:
  Session(const Config& cfg, EventLog& log, const std::atomic<bool>& stop,
          const sockaddr_in& server, TransferResult& r)
      : cfg_(cfg),
        log_(log),
        stop_(stop),
        server_(server),
        r_(r),
        faults_(cfg),
        local_(*parse_ipv4(cfg.address)) {}

  void run();

 private:
  void try_wrong_name();
  void handle_oack(const Packet& p);
  // Returns true when the transfer is over.
  bool handle_data(const Packet& p);
  void finish();
  void dally();

  std::optional<Packet> receive(int fd, unsigned timeout_ms, sockaddr_in& src);
  void send_to(int fd, const sockaddr_in& to, const Packet& p);
  void send_rrq(int fd, const std::string& name, const char* tag);
  void acknowledge(uint32_t block);
  void transmit_ack(uint32_t block);
  void send_error(uint16_t code, const std::string& msg);
  void sleep_ms(unsigned ms);

  const Config& cfg_;
  EventLog& log_;
  const std::atomic<bool>& stop_;
  sockaddr_in server_;
  TransferResult& r_;
  AckFaultPlan faults_;
  in_addr local_;
  Fd sock_;
  Fd ack_sock_;
  std::optional<sockaddr_in> peer_;
  uint32_t next_ = 1;  // next DATA block expected, not wrapped
  std::optional<uint32_t> last_acked_;
  bool oack_seen_ = false;
  bool second_rrq_sent_ = false;
  Packet rx_ = Packet(65536);
};

void Session::run() {
  if (!cfg_.wrong_name_first.empty()) try_wrong_name();

  sock_ = open_udp(local_);
  log_.write("TFTP-START server=" + r_.server + " file=" + r_.file +
             " local=" + to_string(make_sockaddr(local_, local_port(sock_.get()))));
  if (cfg_.ack_from_other_port) {
    ack_sock_ = open_udp(local_);
    log_.write("TFTP-FAULT ack-from-other-port port=" +
               std::to_string(local_port(ack_sock_.get())));
  }
  send_rrq(sock_.get(), r_.file, "");

  unsigned silent = 0;
  for (;;) {
    sockaddr_in src{};
    auto p = receive(sock_.get(), cfg_.tftp_timeout_ms, src);
    if (stop_) throw std::runtime_error("stopped");
    if (!p) {
      if (++silent >= cfg_.tftp_tries)
        throw std::runtime_error("timeout after " + std::to_string(silent) + " silent intervals");
      log_.write("TFTP-TIMEOUT try=" + std::to_string(silent));
      if (last_acked_)
        acknowledge(*last_acked_);
      else if (!peer_)
        send_rrq(sock_.get(), r_.file, " resend");
      continue;
    }
    if (!peer_) {
      // Standard transfer-ID rule: whoever answers first is the server from now on,
      // be it the listening port (this product) or a fresh one (ordinary servers).
      peer_ = src;
      r_.peer = to_string(src);
      log_.write("TFTP-PEER " + r_.peer);
    } else if (!same_endpoint(src, *peer_)) {
      log_.write("TFTP-RX FOREIGN from=" + to_string(src) + " " + describe(*p));
      continue;
    }
    if (p->size() < 4) {
      log_.write("TFTP-RX " + describe(*p));
      continue;
    }
    switch (get16(*p, 0)) {
      case OACK:
        silent = 0;
        handle_oack(*p);
        break;
      case DATA:
        silent = 0;
        if (handle_data(*p)) return;
        break;
      case ERROR:
        log_.write("TFTP-RX " + describe(*p));
        throw std::runtime_error("server sent " + describe(*p));
      default:
        log_.write("TFTP-RX " + describe(*p));
    }
  }
}

void Session::try_wrong_name() {
  Fd wrong = open_udp(local_);
  send_rrq(wrong.get(), cfg_.wrong_name_first, "");
  r_.wrong_name_answered = false;
  auto until = Clock::now() + std::chrono::milliseconds(cfg_.wrong_name_pause_ms);
  while (!stop_) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) break;
    sockaddr_in src{};
    if (auto p = receive(wrong.get(), unsigned(left), src)) {
      r_.wrong_name_answered = true;
      log_.write("TFTP-RX " + describe(*p) + " from=" + to_string(src) + " wrong-name");
    }
  }
}

void Session::handle_oack(const Packet& p) {
  log_.write("TFTP-RX " + describe(p));
  if (next_ != 1) return;  // a late OACK once data flows is ignored
  if (!oack_seen_) {
    oack_seen_ = true;
    auto s = cstrings(p, 2);
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
      std::string name = lower(s[i]);
      const std::string& value = s[i + 1];
      bool requested = std::any_of(cfg_.rrq_options.begin(), cfg_.rrq_options.end(),
                                   [&](const auto& o) { return lower(o.first) == name; });
      if (!requested) {
        // Kept as a finding rather than refused: this product acknowledges
        // options even to a request that carried none.
        r_.unrequested_options.push_back(s[i]);
        continue;
      }
      bool numeric = !value.empty() && value.size() <= 12 &&
                     value.find_first_not_of("0123456789") == std::string::npos;
      if (name == "tsize") {
        if (!numeric) {
          send_error(8, "bad tsize");
          throw std::runtime_error("OACK tsize is not a number: " + value);
        }
        r_.tsize = std::stoull(value);
      } else if (name == "blksize") {
        if (!numeric || std::stoul(value) < 8 || std::stoul(value) > 65464) {
          send_error(8, "bad blksize");
          throw std::runtime_error("OACK blksize out of range: " + value);
        }
        r_.block_size = std::stoul(value);
      }
    }
  }
  acknowledge(0);
}

bool Session::handle_data(const Packet& p) {
  uint16_t wire = get16(p, 2);
  bool expected = wire == uint16_t(next_);
  bool repeat = !expected && next_ > 1 && wire == uint16_t(next_ - 1);
  log_.write("TFTP-RX " + describe(p) + (repeat ? " duplicate" : expected ? "" : " unexpected"));
  if (repeat) acknowledge(next_ - 1);  // our ACK was lost: say it again
  if (!expected) return false;

  size_t payload = p.size() - 4;
  if (payload > r_.block_size) {
    send_error(4, "block too long");
    throw std::runtime_error("DATA block " + std::to_string(next_) + " has " +
                             std::to_string(payload) + " bytes");
  }
  if (r_.data.size() + payload > kMaxImage) {
    send_error(3, "image too large");
    throw std::runtime_error("image larger than " + std::to_string(kMaxImage) + " bytes");
  }
  r_.data.insert(r_.data.end(), p.begin() + 4, p.end());
  if (cfg_.error_on_block == next_) {
    send_error(3, "flash write error");
    throw std::runtime_error("device answered block " + std::to_string(next_) +
                             " with an ERROR (fault)");
  }
  acknowledge(next_);
  if (payload < r_.block_size) {
    finish();
    return true;
  }
  ++next_;
  return false;
}

void Session::finish() {
  r_.complete = !r_.tsize || *r_.tsize == r_.data.size();
  if (!r_.complete)
    r_.error = "received " + std::to_string(r_.data.size()) + " bytes but tsize was " +
               std::to_string(*r_.tsize);
  dally();
}

// Our last ACK may be lost; stay a while to acknowledge a repeated last block.
void Session::dally() {
  auto until = Clock::now() + std::chrono::milliseconds(cfg_.tftp_timeout_ms);
  while (!stop_) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return;
    sockaddr_in src{};
    auto p = receive(sock_.get(), unsigned(left), src);
    if (!p) continue;
    if (!same_endpoint(src, *peer_)) {
      log_.write("TFTP-RX FOREIGN from=" + to_string(src) + " " + describe(*p));
      continue;
    }
    bool repeat = p->size() >= 4 && get16(*p, 0) == DATA && get16(*p, 2) == uint16_t(next_);
    log_.write("TFTP-RX " + describe(*p) + (repeat ? " duplicate" : " unexpected"));
    if (repeat) acknowledge(next_);
  }
}

// Waits rounded up to whole milliseconds: a pause or a timeout never ends
// before its time (rounding down ended a 300 ms pause at 299.4 ms).
std::optional<Packet> Session::receive(int fd, unsigned timeout_ms, sockaddr_in& src) {
  auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!stop_) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, int(std::min<long long>(left, 100))) <= 0) continue;
    socklen_t len = sizeof src;
    ssize_t n = ::recvfrom(fd, rx_.data(), rx_.size(), 0, reinterpret_cast<sockaddr*>(&src), &len);
    if (n < 0) continue;  // e.g. ICMP port unreachable from an earlier send
    return Packet(rx_.begin(), rx_.begin() + n);
  }
  return std::nullopt;
}

void Session::send_to(int fd, const sockaddr_in& to, const Packet& p) {
  ::sendto(fd, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void Session::send_rrq(int fd, const std::string& name, const char* tag) {
  Packet p;
  put16(p, RRQ);
  put_cstr(p, name);
  put_cstr(p, "octet");
  std::string opts;
  for (const auto& [key, value] : cfg_.rrq_options) {
    put_cstr(p, key);
    put_cstr(p, value);
    opts += " " + key + "=" + value;
  }
  send_to(fd, server_, p);
  log_.write("TFTP-TX RRQ " + name + " octet" + opts + tag);
}

void Session::acknowledge(uint32_t block) {
  last_acked_ = block;
  transmit_ack(block);
  if (cfg_.second_rrq_after_block == block && !second_rrq_sent_) {
    second_rrq_sent_ = true;
    send_rrq(sock_.get(), r_.file, " second");
  }
}

void Session::transmit_ack(uint32_t block) {
  std::string num = std::to_string(uint16_t(block));
  if (cfg_.never_ack) {
    log_.write("TFTP-FAULT never-ack block=" + num);
    return;
  }
  AckFaults f = faults_.decide(block);
  if (f.drop) {
    log_.write("TFTP-FAULT drop-ack block=" + num);
    return;
  }
  if (f.delay) {
    log_.write("TFTP-FAULT delay-ack block=" + num + " ms=" + std::to_string(cfg_.ack_delay_ms));
    sleep_ms(cfg_.ack_delay_ms);
  }
  auto send_ack = [&](uint32_t b) {
    Packet p;
    put16(p, ACK);
    put16(p, uint16_t(b));
    send_to(ack_sock_.valid() ? ack_sock_.get() : sock_.get(), *peer_, p);
    log_.write("TFTP-TX ACK block=" + std::to_string(uint16_t(b)));
  };
  send_ack(block);
  if (f.duplicate) {
    log_.write("TFTP-FAULT dup-ack block=" + num);
    send_ack(block);
  }
  if (f.reorder) {
    log_.write("TFTP-FAULT stale-ack block=" + std::to_string(uint16_t(block - 1)));
    send_ack(block - 1);
  }
}

void Session::send_error(uint16_t code, const std::string& msg) {
  Packet p;
  put16(p, ERROR);
  put16(p, code);
  put_cstr(p, msg);
  send_to(sock_.get(), *peer_, p);
  log_.write("TFTP-TX ERROR code=" + std::to_string(code) + " msg=" + msg);
}

void Session::sleep_ms(unsigned ms) {
  auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (!stop_ && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

TftpClient::TftpClient(const Config& cfg, EventLog& log, const std::atomic<bool>& stop)
    : cfg_(cfg), log_(log), stop_(stop) {}

TransferResult TftpClient::fetch(const sockaddr_in& server, const std::string& file) {
  TransferResult r;
  r.file = file;
  r.server = to_string(server);
  Clock::time_point start = Clock::now();
  try {
    Session(cfg_, log_, stop_, server, r).run();
  } catch (const std::exception& e) {
    r.complete = false;
    r.error = e.what();
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  log_.write(r.complete
                 ? "TFTP-END complete bytes=" + std::to_string(r.data.size())
                 : "TFTP-END failed bytes=" + std::to_string(r.data.size()) + " reason=" + r.error);
  return r;
}

}  // namespace sim

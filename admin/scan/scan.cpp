#include "admin/scan/scan.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "admin/output.h"
#include "admin/record/result.h"
#include "frontends/common/dotted.h"
#include "frontends/common/text.h"
#include "http/http.h"
#include "http/query.h"
#include "platform/probe.h"
#include "platform/subnets.h"

namespace admin {

namespace {

using Clock = std::chrono::steady_clock;

// The wizard's own request for the information page, made by the wizard's
// code: the device sees nothing it would not see from the wizard.
const std::string& page_request() {
  static const std::string request = [] {
    char buffer[256];
    int length = build_http_request(buffer, sizeof buffer - 1, DEVICE_PAGE_PATH, nullptr);
    return std::string(buffer, static_cast<std::size_t>(length));
  }();
  return request;
}

struct Range {
  std::uint32_t first, last;  // inclusive
};

// "A.B.C.D/N" or "A.B.C.D"; the host bits are ignored (*given keeps them).
bool parse_prefix(const std::string& text, std::uint32_t* network, int* prefix,
                  std::uint32_t* given) {
  std::size_t slash = text.find('/');
  std::string address = text.substr(0, slash);
  *prefix = 32;
  if (slash != std::string::npos) {
    std::string bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 2 ||
        bits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    *prefix = std::stoi(bits);
    if (*prefix > 32) return false;
  }
  std::uint32_t a;
  if (!frontend::parse_dotted(address, &a)) return false;
  *given = a;
  std::uint32_t mask = *prefix == 0 ? 0 : ~std::uint32_t(0) << (32 - *prefix);
  *network = a & mask;
  return true;
}

// The hosts of a subnet: without its network and broadcast addresses, which
// only a /31 or /32 has none of.
Range hosts_of(std::uint32_t network, int prefix) {
  std::uint32_t size = prefix == 0 ? 0 : std::uint32_t(1) << (32 - prefix);
  std::uint32_t last = network + (size - 1);
  if (prefix >= 31) return {network, last};
  return {network + 1, last - 1};
}

// address: the one given or the interface's; the hint names its /24.
std::string oversized(const std::string& what, std::uint32_t address, int prefix) {
  unsigned long long count = 1ull << (32 - prefix);
  return what + " holds " + std::to_string(count) + " addresses, more than a /" +
         std::to_string(SCAN_LARGEST_PREFIX) + " (" +
         std::to_string(1ull << (32 - SCAN_LARGEST_PREFIX)) +
         "): name the part to scan, e.g. qel-upgrade scan " +
         frontend::dotted(address & 0xffffff00u) + "/24";
}

// Characters, not bytes: the table's columns line up on a UTF-8 terminal.
std::size_t width_of(const std::string& utf8) {
  std::size_t width = 0;
  for (unsigned char c : utf8) width += (c & 0xc0) != 0x80;
  return width;
}

struct Probe {
  std::uint32_t address = 0;
  sys::ProbeSocket socket = sys::NO_PROBE;
  bool connected = false;
  std::size_t sent = 0;
  Clock::time_point deadline;
  std::string answer;
};

class Scanner {
 public:
  explicit Scanner(std::vector<std::uint32_t> targets, int connect_ms = SCAN_CONNECT_MS,
                   int answer_ms = SCAN_ANSWER_MS, bool (*cancelled)() = nullptr)
      : targets_(std::move(targets)),
        limit_(sys::probe_capacity(SCAN_IN_FLIGHT)),
        connect_ms_(connect_ms),
        answer_ms_(answer_ms),
        cancelled_(cancelled) {}

  std::vector<FoundDevice> run() {
    std::size_t next = 0;
    std::vector<sys::ProbeWait> waits;
    while (next < targets_.size() || !active_.empty()) {
      if (cancelled_ && cancelled_()) {
        for (Probe& p : active_) drop(p);
        active_.clear();
        break;
      }
      while (static_cast<long>(active_.size()) < limit_ && next < targets_.size())
        start(targets_[next++]);
      Clock::time_point now = Clock::now();
      Clock::time_point soonest = now + std::chrono::milliseconds(cancelled_ ? 100 : answer_ms_);
      waits.clear();
      for (const Probe& p : active_) {
        waits.push_back({p.socket, !p.connected});
        soonest = std::min(soonest, p.deadline);
      }
      if (!active_.empty()) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(soonest - now).count();
        if (!sys::probe_wait(&waits, static_cast<int>(std::max<long long>(0, wait + 1)))) break;
      }
      now = Clock::now();
      for (std::size_t i = 0; i < active_.size(); ++i) {
        Probe& p = active_[i];
        if (p.socket == sys::NO_PROBE) continue;
        bool events = waits[i].ready;
        if (!p.connected && events)
          on_connect(p);
        else if (p.connected && events)
          on_readable(p);
        if (p.socket != sys::NO_PROBE && now >= p.deadline)
          finish(p);  // what came so far is judged
      }
      active_.erase(std::remove_if(active_.begin(), active_.end(),
                                   [](const Probe& p) { return p.socket == sys::NO_PROBE; }),
                    active_.end());
    }
    std::sort(found_.begin(), found_.end(),
              [](const FoundDevice& a, const FoundDevice& b) { return a.address < b.address; });
    std::sort(silent_.begin(), silent_.end());
    return found_;
  }
  // The addresses that accepted the connection and sent nothing in time.
  const std::vector<std::uint32_t>& silent() const { return silent_; }

 private:
  void start(std::uint32_t address) {
    Probe p;
    p.address = address;
    bool connected = false;
    p.socket = sys::probe_connect(address, HTTP_DEVICE_PORT, &connected);
    if (p.socket == sys::NO_PROBE) return;
    p.deadline = Clock::now() + std::chrono::milliseconds(connect_ms_);
    active_.push_back(std::move(p));
    if (connected) on_connect(active_.back());
  }

  void on_connect(Probe& p) {
    if (!sys::probe_connected(p.socket)) {
      drop(p);
      return;
    }
    p.connected = true;
    p.deadline = Clock::now() + std::chrono::milliseconds(answer_ms_);
    // A request this short fits any socket buffer: one send.
    const std::string& request = page_request();
    long n = sys::probe_send(p.socket, request.data(), request.size());
    if (n != static_cast<long>(request.size())) drop(p);
  }

  void on_readable(Probe& p) {
    char chunk[4096];
    for (;;) {
      std::size_t room = static_cast<std::size_t>(RESPONSE_CAPACITY) - p.answer.size();
      if (room == 0) {  // as much as the wizard would read
        finish(p);
        return;
      }
      long n = sys::probe_receive(p.socket, chunk, std::min(room, sizeof chunk));
      if (n > 0) {
        p.answer.append(chunk, static_cast<std::size_t>(n));
        continue;
      }
      if (n == -2) return;  // nothing more yet
      finish(p);            // closed, or an error after what was received
      return;
    }
  }

  void finish(Probe& p) {
    FoundDevice device;
    device.address = p.address;
    if (read_device_answer(p.answer, &device))
      found_.push_back(device);
    else if (p.connected && p.answer.empty())
      silent_.push_back(p.address);  // a device that hangs looks like this
    drop(p);
  }

  void drop(Probe& p) {
    sys::probe_close(p.socket);
    p.socket = sys::NO_PROBE;
    std::string().swap(p.answer);
  }

  std::vector<std::uint32_t> targets_;
  long limit_;
  const int connect_ms_, answer_ms_;
  bool (*const cancelled_)();
  std::vector<Probe> active_;
  std::vector<FoundDevice> found_;
  std::vector<std::uint32_t> silent_;  // took the connection, sent nothing
};

void print_table(const std::vector<FoundDevice>& devices) {
  std::vector<std::vector<std::string>> rows = {
      {"ADDRESS", "PRODUCT", "SOFTWARE VERSION", "MAC ADDRESS", "PASSWORD REQUIRED"}};
  for (const FoundDevice& d : devices) {
    auto cell = [&](const std::string& value) {
      return d.password_required && value.empty() ? std::string("-") : frontend::shown_text(value);
    };
    rows.push_back({frontend::dotted(d.address), cell(d.product), cell(d.software_version),
                    cell(d.mac), d.password_required ? "yes" : "no"});
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], width_of(row[i]));
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - width_of(row[i]) + 2, ' ');
    }
    print_out("%s\n", line.c_str());
  }
}

void print_json(const std::vector<FoundDevice>& devices) {
  for (const FoundDevice& d : devices) {
    nlohmann::ordered_json line;
    line["address"] = frontend::dotted(d.address);
    auto value = [&](const std::string& text) {
      return d.password_required && text.empty()
                 ? nlohmann::ordered_json(nullptr)
                 : nlohmann::ordered_json(frontend::latin1_to_utf8(text));
    };
    line["product"] = value(d.product);
    line["software_version"] = value(d.software_version);
    line["mac"] = value(d.mac);
    line["password_required"] = d.password_required;
    print_out("%s\n",
              line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
  }
}

}  // namespace

bool device_answers(std::uint32_t address, bool (*cancelled)()) {
  return !Scanner({address}, PROBE_CONNECT_MS, PROBE_ANSWER_MS, cancelled).run().empty();
}

bool read_device_answer(const std::string& answer, FoundDevice* device) {
  if (answer.empty()) return false;
  const char* text = answer.c_str();  // NUL-terminated, as the wizard's buffer
  DigestState challenge{};
  if (classify_response(text, static_cast<int>(answer.size()), &challenge) == 1) {
    device->password_required = true;
    return true;
  }
  // The wizard takes the labelled values from any answer, whatever its status.
  DeviceInfo info{};
  unsigned found = read_device_page(text, &info);
  if (!(found & FOUND_PRODUCT_NAME) || !(found & FOUND_SOFTWARE_VERSION)) return false;
  device->password_required = false;
  device->product = info.product_name;
  device->software_version = info.software_version;
  device->mac = info.mac_address;  // "" when not found
  return true;
}

int run_scan(const ScanOptions& options) {
  std::vector<std::pair<std::uint32_t, int>> subnets;
  if (options.prefixes.empty()) {
    bool skipped = false;
    for (const sys::Subnet& s : sys::interface_subnets()) {
      if (s.loopback) continue;
      std::uint32_t network = s.address & s.mask();
      if (s.prefix < SCAN_LARGEST_PREFIX) {
        // Scanned are the others; this one is named, with why.
        print_err("qel-upgrade scan: skipped: %s\n",
                  oversized(frontend::shown_utf8(s.interface_name) + "'s subnet " +
                                frontend::dotted(network) + "/" + std::to_string(s.prefix),
                            s.address, s.prefix)
                      .c_str());
        skipped = true;
        continue;
      }
      subnets.push_back({network, s.prefix});
    }
    if (subnets.empty()) {
      if (!skipped)
        print_err(
            "qel-upgrade scan: this PC has no IPv4 interface besides loopback: name the "
            "subnet to scan, e.g. qel-upgrade scan 198.51.100.0/24\n");
      return EXIT_USAGE;
    }
  }
  for (const std::string& text : options.prefixes) {
    std::uint32_t network, given;
    int prefix;
    if (!parse_prefix(text, &network, &prefix, &given)) {
      print_err("qel-upgrade scan: not an IPv4 address or prefix: %s\n",
                frontend::shown_utf8(text).c_str());
      return EXIT_USAGE;
    }
    if (prefix < SCAN_LARGEST_PREFIX) {
      print_err("qel-upgrade scan: %s\n",
                oversized(frontend::dotted(network) + "/" + std::to_string(prefix), given, prefix)
                    .c_str());
      return EXIT_USAGE;
    }
    subnets.push_back({network, prefix});
  }

  std::set<std::uint32_t> unique;
  for (const auto& [network, prefix] : subnets) {
    Range hosts = hosts_of(network, prefix);
    for (std::uint64_t a = hosts.first; a <= hosts.last; ++a)
      unique.insert(static_cast<std::uint32_t>(a));
  }
  std::vector<std::uint32_t> targets(unique.begin(), unique.end());

  Clock::time_point began = Clock::now();
  Scanner scanner(targets);
  std::vector<FoundDevice> devices = scanner.run();
  double seconds = std::chrono::duration<double>(Clock::now() - began).count();

  if (options.json)
    print_json(devices);
  else if (!devices.empty())
    print_table(devices);
  print_err("qel-upgrade scan: %zu device%s found among %zu address%s in %.1f s\n", devices.size(),
            devices.size() == 1 ? "" : "s", targets.size(), targets.size() == 1 ? "" : "es",
            seconds);
  if (const std::vector<std::uint32_t>& silent = scanner.silent(); !silent.empty()) {
    // Not listed as devices, yet maybe one that hangs: named, a few of them.
    constexpr std::size_t NAMED = 10;
    std::string named;
    for (std::size_t i = 0; i < silent.size() && i < NAMED; ++i)
      named += (i ? ", " : "") + frontend::dotted(silent[i]);
    if (silent.size() > NAMED) {
      char more[64];  // one format: see FleetView::redraw
      std::snprintf(more, sizeof more, " and %zu more", silent.size() - NAMED);
      named += more;
    }
    print_err(
        "qel-upgrade scan: %zu address%s accepted the connection but did not answer "
        "the information page within %d s: %s\n",
        silent.size(), silent.size() == 1 ? "" : "es", SCAN_ANSWER_MS / 1000, named.c_str());
  }
  return EXIT_UPGRADED;
}

}  // namespace admin

// `qel-upgrade scan`: finds the devices on the LAN by asking every address
// of the given subnets for the information page, many at once.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace admin {

struct ScanOptions {
  std::vector<std::string> prefixes;  // A.B.C.D/N or A.B.C.D; none: the PC's subnets
  bool json = false;
};

// Subnets larger than this are refused: a /22 is 1,024 addresses.
inline constexpr int SCAN_LARGEST_PREFIX = 22;
// Probes in flight at once, and their deadlines. On a LAN a connect to an
// address where nobody lives fails only when ARP gives up (about 3 s), so
// the connect deadline is what bounds a scan: a /24 takes about one second.
inline constexpr int SCAN_IN_FLIGHT = 256;
inline constexpr int SCAN_CONNECT_MS = 1000;
inline constexpr int SCAN_ANSWER_MS = 3000;

struct FoundDevice {
  std::uint32_t address = 0;
  bool password_required = false;
  std::string product, software_version, mac;  // as the page gave them; empty behind a password
};

// What an answer says, read as the wizard reads the information page: a
// digest challenge means a device that wants a password; otherwise the page
// must carry the Product Name and Software Version labels.
bool read_device_answer(const std::string& answer, FoundDevice* device);

int run_scan(const ScanOptions& options);

// One device asked as scan asks (the wizard's request for the information
// page), with more time than a scan gives (upgrade --keep-trying's probe):
// true when it answered as a device does (its page, or a digest challenge).
// cancelled is asked at least every 100 ms; when it says true the probe
// ends at once (false).
inline constexpr int PROBE_CONNECT_MS = 3000;
inline constexpr int PROBE_ANSWER_MS = 5000;
bool device_answers(std::uint32_t address, bool (*cancelled)());

}  // namespace admin

// The LAN of tests/lan/lan.sh for test binaries: main() runs the binary
// again as the PC of that LAN, and simulated devices are started on the
// devices' side. Addresses are lan.sh's.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace lan {

inline constexpr const char* PC = "198.51.100.10";       // on the devices' subnet, default route
inline constexpr const char* PC_OTHER = "203.0.113.10";  // a second interface, nobody behind it
inline constexpr int DEVICES = 3;                        // 198.51.100.20 .. .22

// The n-th device address (0: 198.51.100.20).
std::string device(int n);

// True when this process runs as the PC of the LAN.
bool ready();

// A simulator serving `address` on the devices' side (port 80 unless the
// arguments say otherwise), allowed to use non-loopback addresses there.
std::unique_ptr<simtest::Sim> start_device(const std::string& address,
                                           std::vector<std::string> args);

}  // namespace lan

// The LAN of tests/lan/lan.sh for test programs: their main() runs the
// program again as the PC of that LAN (qel_test_lan_main), and simulated
// devices are started on the devices' side. Addresses are lan.sh's.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/sim.h"

namespace lan {

inline constexpr const char* PC = "198.51.100.10";       // on the devices' subnet, default route
inline constexpr const char* PC_OTHER = "203.0.113.10";  // a second interface, nobody behind it
inline constexpr int DEVICES = 3;                        // 198.51.100.20 .. .22

// The n-th device address (0: 198.51.100.20).
std::string device(int n);

// True when this process runs as the PC of the LAN.
bool ready();

// For main(): runs this program again under lan.sh, unless it is on the LAN
// already or only lists its tests; lan.sh exits 77 (a skip) with the reason
// when no namespace can be made here. Returns false when lan.sh cannot run.
bool enter(int argc, char** argv);

// A simulator serving `address` on the devices' side (port 80 unless the
// arguments say otherwise), allowed to use non-loopback addresses there.
std::unique_ptr<simtest::Sim> start_device(const std::string& address,
                                           std::vector<std::string> args);

}  // namespace lan

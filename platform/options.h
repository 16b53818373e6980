// Choices a program makes for the platform before the wizard starts. The
// defaults are the wizard's own behaviour; only the command line changes
// them, because its upgrades may run by the hundred on one PC and it picks
// this PC's address toward the device itself. Kept here, once for every
// platform: each platform's sockets and address list read them.
#pragma once
#include <atomic>
#include <cstdint>

struct PlatformOptions {
  // The device web client's local TCP port is left to the system (its
  // ephemeral range) instead of the wizard's 101 ports from 23456, which a
  // hundred upgrades holding open requests, refused connects and TIME_WAITs
  // can use up.
  bool system_client_ports = false;
  // This PC's address toward the device (host order; 0 prefers nothing):
  // start-up offers it first, whichever interface holds it, although its
  // list keeps only eight.
  std::uint32_t preferred_local_address = 0;
};

namespace platform_detail {
inline std::atomic<bool> system_client_ports{false};
inline std::atomic<std::uint32_t> preferred_local_address{0};
}  // namespace platform_detail

// Call before the wizard starts; threads it starts later see the values.
inline void platform_set_options(const PlatformOptions& options) {
  platform_detail::system_client_ports.store(options.system_client_ports);
  platform_detail::preferred_local_address.store(options.preferred_local_address);
}

inline PlatformOptions platform_options() {
  return {platform_detail::system_client_ports.load(),
          platform_detail::preferred_local_address.load()};
}

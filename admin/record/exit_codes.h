// Exit codes of `upgrade` (fleet and scan use some of them).
#pragma once

namespace admin {

inline constexpr int EXIT_UPGRADED = 0;  // also a dry run, and a device already current
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_ABORTED = 3;
inline constexpr int EXIT_UNREACHABLE = 4;
// The device took the image, but its new version was not confirmed.
inline constexpr int EXIT_UNVERIFIED = 5;
// This PC may not serve the firmware: every TFTP port was refused.
inline constexpr int EXIT_NO_PORT = 6;
// Another run on this PC is upgrading the device: it was not contacted.
inline constexpr int EXIT_BUSY = 7;

}  // namespace admin

// --keep-trying: how long a run keeps trying a device that did not answer
// (unreachable) or that another run held (busy), and when it tries again.
// Pure: the caller gives the random value.
#pragma once
#include <chrono>
#include <string>

namespace admin {

// The first retry comes about this long after the try that failed; each
// wait doubles, never beyond the cap; each is spread by this share either
// way at random, so that devices that failed together do not come back in
// one burst.
inline constexpr std::chrono::seconds FIRST_RETRY{30};
inline constexpr std::chrono::seconds LONGEST_RETRY{15 * 60};
inline constexpr double RETRY_JITTER = 0.2;
// --keep-trying's longest duration.
inline constexpr std::chrono::hours LONGEST_PATIENCE{7 * 24};

// "90m", "8h", "1h30m", "45s": whole numbers each with its unit (h, m, s);
// false with *error (safe to show) for anything else, nothing or zero, and
// beyond a week.
bool parse_duration(const std::string& text, std::chrono::seconds* duration, std::string* error);
// "1 h 30 min", "45 s": a duration as the messages show it.
std::string duration_text(std::chrono::seconds duration);

// The wait after the `failed`-th try in a row that did not reach the device
// (1 for the first): FIRST_RETRY doubled failed - 1 times, capped at
// LONGEST_RETRY, then spread by RETRY_JITTER either way with `uniform` in
// [0, 1) (0 the shortest) but never beyond LONGEST_RETRY.
std::chrono::milliseconds retry_delay(int failed, double uniform);

}  // namespace admin

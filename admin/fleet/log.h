// One device's log in the fleet's log folder (--log-dir; the folder and
// each file are opened as platform/files.h says).
#pragma once
#include <string>

namespace admin {

// One device's log in the folder; lines go nowhere while it is not open.
struct DeviceLog {
  int fd = -1;
  bool tried = false;  // opened once only, so that a refusal is said once
  // Opens DIR/ADDRESS.log on the first call: true with *path; false with
  // *error (safe to show) when it cannot be used, or when already tried.
  bool open(int folder, const std::string& dir, const std::string& address, std::string* path,
            std::string* error);
  void line(const std::string& text) const;
  void close();
};

}  // namespace admin

#include "admin/fleet/log.h"

#include "admin/output.h"
#include "frontends/common/text.h"
#include "platform/files.h"

namespace admin {

bool DeviceLog::open(int folder, const std::string& dir, const std::string& address,
                     std::string* path, std::string* error) {
  if (tried) return false;
  tried = true;
  std::string name = address + ".log", why;
  fd = sys::open_log(folder, name, &why);
  if (fd >= 0)
    *path = sys::path_in(dir, name);
  else
    *error = frontend::shown_utf8(sys::path_in(dir, name) + ": " + why);
  return fd >= 0;
}

void DeviceLog::line(const std::string& text) const {
  if (fd < 0) return;
  sys::write_all(fd, text + "\n");
}

void DeviceLog::close() {
  if (fd >= 0) sys::close_file(fd);
  fd = -1;
}

}  // namespace admin

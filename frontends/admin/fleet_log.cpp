#include "frontends/admin/fleet_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frontends/admin/util.h"

namespace admin {

int open_log_folder(const std::string& path, std::string* error) {
  std::string shown = shown_utf8(path);
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot make " + shown + ": " + std::strerror(errno);
    return -1;
  }
  int folder = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    *error = "cannot open the log folder " + shown + ": " + std::strerror(errno);
    return -1;
  }
  struct stat about {};
  if (::fstat(folder, &about) != 0) {
    *error = "cannot open the log folder " + shown + ": " + std::strerror(errno);
  } else if (about.st_uid != ::geteuid() && about.st_uid != 0) {
    *error = "the log folder " + shown + " belongs to another user (uid " +
             std::to_string(about.st_uid) + "): choose a folder of your own";
  } else if (about.st_mode & (S_IWGRP | S_IWOTH)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(about.st_mode & 07777));
    *error = "others may write to the log folder " + shown + " (mode " + mode +
             "): choose a folder of your own, or chmod go-w it";
  } else {
    return folder;
  }
  ::close(folder);
  return -1;
}

int open_log(int folder, const std::string& name, std::string* error) {
  // O_NONBLOCK: a FIFO without a reader fails at once instead of holding the fleet.
  int fd = ::openat(folder, name.c_str(),
                    O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                    0600);
  if (fd < 0) {
    *error = errno == ELOOP ? std::string("it is a symbolic link") : std::strerror(errno);
    return -1;
  }
  struct stat about {};
  if (::fstat(fd, &about) != 0) {
    *error = std::strerror(errno);
  } else if (!S_ISREG(about.st_mode)) {
    *error = "it is not a regular file";
  } else if (about.st_uid != ::geteuid()) {
    *error = "it belongs to another user (uid " + std::to_string(about.st_uid) + ")";
  } else if (about.st_nlink != 1) {
    // A hard link to a file elsewhere would be written through.
    *error = "it has other names (hard links)";
  } else {
    return fd;
  }
  ::close(fd);
  return -1;
}

bool DeviceLog::open(int folder, const std::string& dir, const std::string& address,
                     std::string* path, std::string* error) {
  if (tried) return false;
  tried = true;
  std::string name = address + ".log", why;
  fd = open_log(folder, name, &why);
  if (fd >= 0)
    *path = dir + "/" + name;
  else
    *error = shown_utf8(dir + "/" + name) + ": " + why;
  return fd >= 0;
}

void DeviceLog::line(const std::string& text) const {
  if (fd < 0) return;
  std::string whole = text + "\n";
  [[maybe_unused]] ssize_t n = ::write(fd, whole.data(), whole.size());
}

void DeviceLog::close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace admin

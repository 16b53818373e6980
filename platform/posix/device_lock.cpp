// The device lock on POSIX (device_lock.h): a POSIX record lock on a file
// per device in /run/qel-upgrade, a folder of root's that only root and the
// group of the port helper (the users who may upgrade devices) may write:
// the package makes it, and so does a run as root that finds it missing.
// Nobody else can make, open, fill or hold a lock file there, and the
// kernel drops a lock when its process ends, however it ends. A held lock
// names its holder's pid (F_GETLK), a fact of the kernel's; its user comes
// from the kernel too, its command line is what the holder shows.
//
// A device is its address in a network namespace: the file is named after
// both, as the addresses of the devices belong to the namespace.
//
// Without that folder (a build tree, no package, not root, or a user
// namespace of one's own), the lock lives in a private folder of this
// user's, and keeps this user's own runs apart only; the run says so.
#include "platform/device_lock.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/bind_helper.h"

namespace sys {

namespace {

constexpr char SYSTEM_FOLDER[] = "/run/qel-upgrade";

std::string dotted(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255,
                (address >> 8) & 255, address & 255);
  return text;
}

std::string read_small(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "";
  char buffer[8192];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
}

// The group whose members may upgrade devices; false when it does not exist.
bool upgraders_group(gid_t* gid) {
  group entry{}, *found = nullptr;
  char buffer[4096];
  if (::getgrnam_r(POSIX_BIND_GROUP, &entry, buffer, sizeof buffer, &found) != 0 || !found)
    return false;
  *gid = found->gr_gid;
  return true;
}

// In a user namespace of its own (unshare -U), where the PC's root is not
// root and the system's folder is not this process's to judge or write.
bool in_own_user_namespace() {
  std::string map = read_small("/proc/self/uid_map");
  unsigned long inside = 1, outside = 1, count = 0;
  return std::sscanf(map.c_str(), "%lu %lu %lu", &inside, &outside, &count) == 3 &&
         !(inside == 0 && outside == 0 && count == 4294967295UL);
}

// The system's folder, opened without following a link; made by root when
// missing. -1 with *error; *usable false when there is no such folder for
// this process (missing and not to be made here, or a user namespace's).
int open_system_folder(bool* usable, std::string* error) {
  *usable = !in_own_user_namespace();
  if (!*usable) return -1;
  int folder = ::open(SYSTEM_FOLDER, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0 && errno == ENOENT && ::geteuid() == 0) {
    gid_t group = 0;
    bool shared = upgraders_group(&group);
    if (::mkdir(SYSTEM_FOLDER, 0700) == 0) {
      // Made here, by root, in a folder only root may write: it is this one.
      folder = ::open(SYSTEM_FOLDER, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (folder >= 0 && (::fchown(folder, 0, shared ? group : 0) != 0 ||
                          ::fchmod(folder, shared ? 02770 : 0755) != 0)) {
        ::close(folder);
        folder = -1;
      }
    } else if (errno == EEXIST) {
      folder = ::open(SYSTEM_FOLDER, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
  }
  if (folder < 0) {
    *usable = errno != ENOENT;
    *error = std::string(SYSTEM_FOLDER) + ": " + std::strerror(errno);
    return -1;
  }
  struct stat about {};
  gid_t group = 0;
  bool shared = upgraders_group(&group);
  if (::fstat(folder, &about) != 0) {
    *error = std::string(SYSTEM_FOLDER) + ": " + std::strerror(errno);
  } else if (about.st_uid != 0) {
    *error = std::string(SYSTEM_FOLDER) + " belongs to uid " + std::to_string(about.st_uid) +
             ", not root";
  } else if ((about.st_mode & S_IWOTH) || ((about.st_mode & S_IWGRP) && about.st_gid != 0 &&
                                           !(shared && about.st_gid == group))) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(about.st_mode & 07777));
    *error = std::string(SYSTEM_FOLDER) + " may be written by others than root and the group " +
             POSIX_BIND_GROUP + " (mode " + mode + ", group " + std::to_string(about.st_gid) + ")";
  } else {
    return folder;
  }
  ::close(folder);
  return -1;
}

// A folder of this user's alone, for a PC without the system's: the
// session's runtime folder when it is this user's and private, else one in
// /tmp, used only when it is this user's own.
int open_private_folder(std::string* path, std::string* error) {
  std::string base;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
    struct stat about {};
    if (::lstat(runtime, &about) == 0 && S_ISDIR(about.st_mode) && about.st_uid == ::geteuid() &&
        (about.st_mode & 077) == 0)
      base = runtime;
  }
  *path = base.empty() ? "/tmp/qel-upgrade-" + std::to_string(::geteuid()) : base + "/qel-upgrade";
  ::mkdir(path->c_str(), 0700);
  int folder = ::open(path->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) {
    *error = *path + ": " + std::strerror(errno);
    return -1;
  }
  struct stat about {};
  if (::fstat(folder, &about) == 0 && about.st_uid == ::geteuid() && (about.st_mode & 077) == 0)
    return folder;
  *error = *path + " is not a private folder of this user's";
  ::close(folder);
  return -1;
}

std::string device_name(std::uint32_t device) {
  struct stat net {};
  unsigned long long space = ::stat("/proc/self/ns/net", &net) == 0 ? net.st_ino : 0;
  return dotted(device) + "@net" + std::to_string(space);
}

LockHolder describe(pid_t pid) {
  LockHolder holder;
  holder.pid = pid;
  if (pid <= 0) return holder;  // in another pid namespace
  std::string status = read_small("/proc/" + std::to_string(pid) + "/status");
  std::size_t at = status.find("\nUid:");
  if (at != std::string::npos) {
    uid_t uid = static_cast<uid_t>(std::strtoul(status.c_str() + at + 5, nullptr, 10));
    holder.same_user = uid == ::getuid();
    passwd entry{}, *found = nullptr;
    char buffer[2048];
    holder.user = ::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found
                      ? found->pw_name
                      : std::to_string(uid);
  }
  std::string command = read_small("/proc/" + std::to_string(pid) + "/cmdline");
  while (!command.empty() && command.back() == '\0') command.pop_back();
  std::replace(command.begin(), command.end(), '\0', ' ');
  if (command.size() > 300) command = command.substr(0, 300) + "...";
  holder.command = command;
  return holder;
}

}  // namespace

const char* device_lock_folder() { return SYSTEM_FOLDER; }

DeviceLock::~DeviceLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

DeviceLock::State DeviceLock::take(std::uint32_t device, LockHolder* holder, std::string* error) {
  bool usable = false;
  std::string where = SYSTEM_FOLDER;
  int folder = open_system_folder(&usable, error);
  if (folder < 0 && usable) return FAILED;
  if (folder < 0) {
    std::string why;
    folder = open_private_folder(&where, &why);
    if (folder < 0) {
      *error = why;
      return FAILED;
    }
    note_ = std::string("there is no lock folder of the system's (") + SYSTEM_FOLDER +
            ") for this run: it keeps only this user's runs from the device (the package makes "
            "the folder, as does a run as root)";
  }
  std::string name = device_name(device);
  // O_NONBLOCK: a FIFO put there cannot hold the run.
  int fd = ::openat(folder, name.c_str(),
                    O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0660);
  int saved = errno;
  ::close(folder);
  if (fd < 0) {
    *error = "cannot open " + where + "/" + name + ": " +
             (saved == ELOOP ? std::string("it is a symbolic link") : std::strerror(saved));
    return FAILED;
  }
  struct stat about {};
  if (::fstat(fd, &about) != 0 || !S_ISREG(about.st_mode) || about.st_nlink != 1) {
    ::close(fd);
    *error = where + "/" + name + " is not a plain file with one name";
    return FAILED;
  }
  // The others who may upgrade share the file; a umask may have narrowed it.
  if (about.st_uid == ::geteuid()) ::fchmod(fd, 0660);
  // A holder may end between the two calls: then try again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &whole) == 0) {
      handle_ = fd;
      return HELD;
    }
    if (errno != EAGAIN && errno != EACCES) {
      *error = "cannot lock " + where + "/" + name + ": " + std::strerror(errno);
      ::close(fd);
      return FAILED;
    }
    struct flock held {};
    held.l_type = F_WRLCK;
    held.l_whence = SEEK_SET;
    if (::fcntl(fd, F_GETLK, &held) == 0 && held.l_type != F_UNLCK) {
      ::close(fd);
      *holder = describe(held.l_pid);
      return BUSY;
    }
  }
  ::close(fd);
  *holder = LockHolder{};
  return BUSY;
}

}  // namespace sys

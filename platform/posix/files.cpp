// The command line's files on POSIX (files.h): the log folder opened once
// and each log relative to it, a report replaced by rename.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sys {

int open_log_folder(const std::string& given, std::string* error) {
  const std::string& shown = given;
  // A trailing slash would make the kernel follow a link at the folder itself.
  std::string path = given;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot make " + shown + ": " + std::strerror(errno);
    return -1;
  }
  // Never through a link: another user may have put one where the folder
  // is named, toward a folder of ours.
  int folder = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) {
    *error = errno == ELOOP || errno == ENOTDIR
                 ? "the log folder " + shown + " is a symbolic link or not a folder"
                 : "cannot open the log folder " + shown + ": " + std::strerror(errno);
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

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void close_file(int fd) { ::close(fd); }

bool read_whole_file(const std::string& path, std::string* text, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  char chunk[65536];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
    text->append(chunk, static_cast<std::size_t>(n));
  ::close(fd);
  return true;
}

int make_file_beside(const std::string& path, std::string* name, std::string* error) {
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  *name = folder + (folder.back() == '/' ? "" : "/") + "." + base + ".XXXXXX";
  int fd = ::mkostemp(name->data(), O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return -1;
  }
  // The permissions a file made by this user would have, not mkstemp's 0600.
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  return fd;
}

bool sync_and_close(int fd, std::string* error) {
  bool ok = ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) *error = std::strerror(saved);
  return ok;
}

bool replace_file(const std::string& from, const std::string& to, std::string* error) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  *error = std::strerror(errno);
  return false;
}

void remove_file(const std::string& name) { ::unlink(name.c_str()); }

std::string path_beside(const std::string& file, const std::string& written) {
  if (!written.empty() && written[0] == '/') return written;
  std::size_t slash = file.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "" : file.substr(0, slash);
  return folder + "/" + written;
}

bool move_to_new(const std::string& from, const std::string& to, std::string* error) {
  // A hard link is made only where no file is; then the old name goes.
  if (::link(from.c_str(), to.c_str()) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  ::unlink(from.c_str());
  return true;
}

// A rename replaces a file whoever holds it open.
bool can_replace(const std::string&, std::string*) { return true; }

std::string path_in(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::tm local_time(std::time_t when) {
  std::tm local{};
  ::localtime_r(&when, &local);
  return local;
}

}  // namespace sys

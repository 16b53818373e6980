// Passwords on POSIX (secret.h).
#include "platform/secret.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sys {

void wipe_bytes(void* bytes, std::size_t size) {
  if (size != 0) ::explicit_bzero(bytes, size);
}

void wipe(std::string* text) {
  wipe_bytes(text->data(), text->size());
  text->clear();
}

void make_undumpable() {
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
}

SecretSource::~SecretSource() {
  if (handle_ >= 0 && !standard_input_) ::close(static_cast<int>(handle_));
}

bool SecretSource::open(const std::string& path, std::string* error) {
  standard_input_ = path == "-";
  int fd = standard_input_ ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = "cannot read the password file " + path + ": " + std::strerror(errno);
    return false;
  }
  handle_ = fd;
  if (::isatty(fd)) {
    // Read here, a typed password would show on the screen. The prompt the
    // program has already asks without echo, only when the device wants a
    // password, again when it is refused, and Ctrl-C cancels it.
    *error = (standard_input_ ? std::string("--password-file - reads standard input, which is a "
                                            "terminal")
                              : "the password file " + path + " is a terminal") +
             ": what is typed there would be shown; leave --password-file out and type the "
             "password when asked (without echo)";
    return false;
  }
  struct stat about {};
  if (standard_input_ || ::fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) return true;
  if (about.st_uid != ::geteuid() && about.st_uid != 0) {
    // Its owner could put another password in it, or read this one.
    *error = "the password file " + path + " belongs to another user (uid " +
             std::to_string(about.st_uid) + "): use a file of your own, with chmod 600";
    return false;
  }
  if ((about.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(about.st_mode & 07777));
    *error = "the password file " + path + " may be read or changed by others (mode " + mode +
             "): make it private with chmod 600 " + path;
    return false;
  }
  return true;
}

int SecretSource::read_byte(char* c, std::string* error) {
  for (;;) {
    ssize_t n = ::read(static_cast<int>(handle_), c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *error = std::strerror(errno);
    return static_cast<int>(n);
  }
}

}  // namespace sys

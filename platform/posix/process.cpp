#include "platform/process.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/posix/bind_helper.h"

namespace {
std::atomic<ProcessExitHook> exit_hook{nullptr};
}

void process_set_exit_hook(ProcessExitHook hook) { exit_hook = hook; }

// There are no window classes here; registration always succeeds.
int window_class_register(AppInstance) { return 1; }

void common_controls_init() {}

namespace {

// Quoted for the shell when it holds anything but the usual path characters.
std::string shell_word(std::string text) {
  if (text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                             "0123456789/._-+") == std::string::npos)
    return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string user_name() {
  const passwd* user = ::getpwuid(::getuid());
  return shell_word(user ? user->pw_name : "USER");
}

// The capability on a file every user may run gives every user the ports:
// the file goes to root and the group first (chown drops a capability, so
// setcap comes after it), as the package does with its helper.
std::string group_grant(const std::string& file, const std::string& user) {
  const std::string group = POSIX_BIND_GROUP;
  return "sudo groupadd -f --system " + group + "\r\nsudo chown root:" + group + " " + file +
         "\r\nsudo chmod 750 " + file + "\r\nsudo setcap cap_net_bind_service=+ep " + file +
         "\r\nsudo usermod -aG " + group + " " + user + "\r\nThen log in again.";
}

}  // namespace

// A command stands on a line of its own, so that no renderer breaks it
// inside a path. The installed helper (root:group, 754, as the package sets
// it when users may upgrade devices) admits the group's members; any other
// helper, or the program itself when it has none, needs the capability, and
// the group that may run it.
const char* process_bind_privilege_hint() {
  static std::once_flag once;
  static std::string hint;
  std::call_once(once, [] {
    const std::string& helper = posix_bind_helper_path();
    struct stat status {};
    const group* admitted = nullptr;
    if (!helper.empty() && ::stat(helper.c_str(), &status) == 0 && status.st_gid != 0)
      admitted = ::getgrgid(status.st_gid);
    if (admitted && std::strcmp(admitted->gr_name, POSIX_BIND_GROUP) == 0) {
      hint = std::string("UDP ports 69-168 need root, or membership of the group ") +
             POSIX_BIND_GROUP + "; an administrator adds you with:\r\nsudo adduser " + user_name() +
             " " + POSIX_BIND_GROUP + "\r\nThen log in again.";
    } else if (helper.rfind("/usr/libexec/qel-upgrade/", 0) == 0) {
      hint =
          "UDP ports 69-168 need root; to let the members of a group upgrade devices, "
          "answer yes to:\r\nsudo dpkg-reconfigure qel-upgrade";
    } else {
      std::string file = helper;
      if (file.empty()) {
        char path[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
        file = n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "qel-upgrade";
      }
      hint = std::string("UDP ports 69-168 need root, or give ") +
             (helper.empty() ? "this program" : "the program's port helper") +
             " the right once, for a group's members only (whoever runs it may take these ports "
             "on any address):\r\n" +
             group_grant(shell_word(file), user_name());
    }
  });
  return hint.c_str();
}

void process_exit(int code) {
  if (ProcessExitHook hook = exit_hook.load()) hook(code);
  std::fflush(nullptr);
  // Other threads may still be inside the wizard: end without running
  // destructors under their feet.
  ::_exit(code);
}

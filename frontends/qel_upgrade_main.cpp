// qel-upgrade for Linux: the administrators' subcommands, and the door to
// the wizard. With a display it hands over to the desktop program
// (qel-upgrade-desktop, Qt) when that is installed and Qt can open the
// display; on a terminal to the terminal program (qel-upgrade-terminal,
// newt). This program itself maps no toolkit, not even newt, so the command
// line stays small and a server needs no desktop libraries.
//
// Without either, it still checks that the TFTP listener would be allowed a
// port, so that a user learns at once what to fix (the wizard's programs
// make the same check before their first dialog), and exits with 1: the
// wizard could not run at all (its own failures exit with 0).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frontends/common/privilege.h"
#include "platform/process.h"

#ifdef QEL_WITH_ADMIN
#include "frontends/admin/admin.h"
#endif

#ifndef QEL_VERSION
#define QEL_VERSION "unknown"
#endif

extern char** environ;

namespace {

const char USAGE[] =
    "usage: qel-upgrade [--help | --version]\n"
    "       qel-upgrade scan|upgrade|fleet ...   (see qel-upgrade COMMAND --help)\n"
    "\n"
    "Upgrades the firmware of a QEL device on the local network. The wizard shows\n"
    "its dialogs on the desktop when DISPLAY or WAYLAND_DISPLAY is set and the\n"
    "desktop dialogs are installed (qel-upgrade-desktop), otherwise in the\n"
    "terminal. It serves the firmware over TFTP. The subcommands find the\n"
    "devices on the LAN and upgrade one or many without dialogs.\n";

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// One of the wizard's programs: beside this one (a build tree), else where
// the packages install them relative to this program's folder.
std::string wizard_program(const char* name) {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  std::string folder(path, static_cast<std::size_t>(n));
  folder.erase(folder.rfind('/') + 1);
  for (const char* where : {"", "../libexec/qel-upgrade/"}) {
    std::string candidate = folder + where + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// Whether Qt can open the display: the desktop program tries it in a child
// (--probe), because a platform plugin that cannot start ends the process
// that asked.
bool desktop_can_start(const std::string& program) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  char probe[] = "--probe";
  char* argv[] = {const_cast<char*>(program.c_str()), probe, nullptr};
  std::fflush(nullptr);
  pid_t child = 0;
  int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef QEL_WITH_ADMIN
  if (argc > 1 && admin_is_subcommand(argv[1])) return admin_main(argc, argv);
#endif
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(USAGE, stdout);
      std::fputs(frontend::terminal_lines(process_bind_privilege_hint(), "  ").c_str(), stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("qel-upgrade %s\n", QEL_VERSION);
      return 0;
    }
    std::fprintf(stderr, "qel-upgrade: unknown option %s\n%s", argv[i], USAGE);
    return 2;
  }

  std::string why;
  if (set("DISPLAY") || set("WAYLAND_DISPLAY")) {
    std::string desktop = wizard_program("qel-upgrade-desktop");
    // Windows can be placed only on X11; XWayland serves where DISPLAY is set.
    if (set("DISPLAY") && !set("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "xcb", 1);
    if (desktop.empty()) {
      why = "the desktop dialogs are not installed (package qel-upgrade-desktop)";
    } else if (desktop_can_start(desktop)) {
      std::fflush(nullptr);
      execv(desktop.c_str(), argv);
      why = std::string("cannot start ") + desktop + ": " + std::strerror(errno);
    } else {
      why = set("DISPLAY")
                ? std::string("cannot open the display ") + std::getenv("DISPLAY")
                : std::string("cannot open the Wayland display ") + std::getenv("WAYLAND_DISPLAY");
    }
  } else {
    why = "no display (DISPLAY and WAYLAND_DISPLAY unset)";
  }

  if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
    std::string terminal = wizard_program("qel-upgrade-terminal");
    if (!terminal.empty()) {
      std::fprintf(stderr, "qel-upgrade: %s, using the terminal\n", why.c_str());
      std::fflush(nullptr);
      execv(terminal.c_str(), argv);
      std::fprintf(stderr, "qel-upgrade: cannot start %s: %s\n", terminal.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  std::string refusal = frontend::tftp_bind_refusal();
  if (!refusal.empty())
    std::fprintf(stderr, "qel-upgrade: %s", frontend::terminal_lines(refusal, "  ").c_str());
  std::fprintf(stderr, "qel-upgrade: %s and no terminal; it needs a display or a terminal\n",
               why.c_str());
  // The wizard never ran: unlike its own failures (exit 0, as the Windows
  // program), this one tells a script that nothing happened.
  return 1;
}

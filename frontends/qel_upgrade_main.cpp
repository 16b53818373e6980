// qel-upgrade for Linux: the wizard in the terminal (newt), and the
// administrators' subcommands. With a display it hands over to the desktop
// program (qel-upgrade-desktop, Qt) when that is installed beside it and Qt
// can open the display; this program itself never maps a toolkit, so the
// command line stays small and a server needs no desktop libraries.
//
// Before the first dialog it checks that the TFTP listener will be allowed
// a port: when every one is refused for want of privilege, the user learns
// it at once (stderr and one message box), with what fixes it, and the run
// ends there with exit code 0 as every failed run does.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app.h"
#include "frontends/common/privilege.h"
#include "platform/process.h"
#include "ui/ui.h"

#ifdef QEL_WITH_NEWT
#include "frontends/terminal/terminal_frontend.h"
#endif
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
    "its dialogs on the desktop when DISPLAY or WAYLAND_DISPLAY is set, otherwise\n"
    "in the terminal. It serves the firmware over TFTP. The subcommands find the\n"
    "devices on the LAN and upgrade one or many without dialogs.\n";

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// The desktop program: beside this one (a build tree), else where the
// desktop package installs it relative to this program's folder.
std::string desktop_program() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  std::string folder(path, static_cast<std::size_t>(n));
  folder.erase(folder.rfind('/') + 1);
  for (const char* where : {"qel-upgrade-desktop", "../libexec/qel-upgrade/qel-upgrade-desktop"}) {
    std::string candidate = folder + where;
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

// Set before any front-end starts when the TFTP ports are refused: then the
// message is all the wizard shows, at once rather than after four dialogs.
std::string refusal;

void print_refusal() {
  if (!refusal.empty())
    std::fprintf(stderr, "qel-upgrade: %s", frontend::terminal_lines(refusal, "  ").c_str());
}

#ifdef QEL_WITH_NEWT
[[noreturn]] void run_wizard() {
  if (!refusal.empty()) {
    show_error(refusal.c_str());
    process_exit(0);
  }
  process_exit(wizard_main(nullptr));
}

pid_t terminal_child = 0;

void forward_signal(int signal) {
  if (terminal_child > 0) kill(terminal_child, signal);
}

// The wizard ends the process with _exit from whichever thread finishes it,
// too abruptly for newt to give the terminal back. So the wizard runs in a
// child, and this process restores the terminal when the child has ended.
[[noreturn]] void run_terminal() {
  termios saved{};
  bool have_modes = tcgetattr(STDIN_FILENO, &saved) == 0;
  std::fflush(nullptr);
  terminal_child = fork();
  if (terminal_child == 0) {
    auto* frontend = new term::TerminalFrontend;  // ends with the process
    if (!frontend->start()) {
      std::fprintf(stderr, "qel-upgrade: cannot take over the terminal\n");
      _exit(0);
    }
    frontend_install(frontend);
    run_wizard();
  }
  if (terminal_child < 0) {
    std::fprintf(stderr, "qel-upgrade: cannot start: %s\n", std::strerror(errno));
    std::exit(0);
  }
  std::signal(SIGINT, SIG_IGN);  // the child decides what Ctrl-C does
  std::signal(SIGQUIT, SIG_IGN);
  std::signal(SIGTERM, forward_signal);
  std::signal(SIGHUP, forward_signal);
  int status = 0;
  while (waitpid(terminal_child, &status, 0) < 0) {
    if (errno != EINTR) break;
  }
  if (have_modes) tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
  // Plain colours, the cursor back, and a clean screen: the process may
  // have ended with a window still drawn.
  std::fputs("\033[0m\033[?25h\033[H\033[2J", stdout);
  std::fflush(stdout);
  print_refusal();  // here, where the screen no longer hides it
  if (WIFEXITED(status)) std::exit(WEXITSTATUS(status));
  std::exit(128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0));
}
#endif

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
    std::string desktop = desktop_program();
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

  refusal = frontend::tftp_bind_refusal();
#ifdef QEL_WITH_NEWT
  if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
    std::fprintf(stderr, "qel-upgrade: %s, using the terminal\n", why.c_str());
    run_terminal();
  }
#endif
  print_refusal();
  std::fprintf(stderr, "qel-upgrade: %s and no terminal; it needs a display or a terminal\n",
               why.c_str());
  return 0;
}

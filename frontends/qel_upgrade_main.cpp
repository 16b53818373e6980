// qel-upgrade for Linux: the wizard with its dialogs on the desktop (Qt) when
// there is a display, else in the terminal (newt).
//
// Qt wants its event loop on the process's first thread, so with Qt that
// thread becomes the UI thread and the wizard runs on a second one, which is
// the wizard's "main thread" from then on. Whoever ends the run calls
// process_exit, which ends the whole process at once.
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "app/app.h"
#include "platform/process.h"

#ifdef QEL_WITH_QT
#include <QApplication>
#include <QGuiApplication>

#include "frontends/qt/qt_frontend.h"
#endif
#ifdef QEL_WITH_NEWT
#include "frontends/terminal/terminal_frontend.h"
#endif

#ifndef QEL_VERSION
#define QEL_VERSION "unknown"
#endif

namespace {

const char USAGE[] =
    "usage: qel-upgrade [--help | --version]\n"
    "\n"
    "Upgrades the firmware of a QEL device on the local network. The wizard shows\n"
    "its dialogs on the desktop when DISPLAY or WAYLAND_DISPLAY is set, otherwise\n"
    "in the terminal. Serving the firmware needs a UDP port in 69-168: run as root\n"
    "or give the program the capability once:\n"
    "  sudo setcap cap_net_bind_service=+ep /usr/bin/qel-upgrade\n";

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

[[noreturn]] void run_wizard() { process_exit(wizard_main(nullptr)); }

#ifdef QEL_WITH_QT
// Whether Qt can open the display: tried in a child, because a platform
// plugin that cannot start ends the process that asked.
bool qt_can_start(int argc, char** argv) {
  std::fflush(nullptr);
  pid_t child = fork();
  if (child < 0) return true;  // cannot tell: let Qt try for real
  if (child == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDERR_FILENO);
    QGuiApplication probe(argc, argv);
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

[[noreturn]] void run_desktop(int argc, char** argv) {
  QApplication application(argc, argv);
  // Between two dialogs the program may have no window at all.
  application.setQuitOnLastWindowClosed(false);
  // Never freed: the process ends under it with process_exit.
  auto* frontend = new qtfe::QtFrontend;
  frontend_install(frontend);
  std::thread(run_wizard).detach();
  application.exec();
  process_exit(0);
}
#endif

#ifdef QEL_WITH_NEWT
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
  if (WIFEXITED(status)) std::exit(WEXITSTATUS(status));
  std::exit(128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0));
}
#endif

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(USAGE, stdout);
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
#ifdef QEL_WITH_QT
    // Windows can be placed only on X11; XWayland serves where DISPLAY is set.
    if (set("DISPLAY") && !set("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "xcb", 1);
    if (qt_can_start(argc, argv)) run_desktop(argc, argv);
    why = set("DISPLAY") ? std::string("cannot open the display ") + std::getenv("DISPLAY")
                         : std::string("cannot open the Wayland display ") +
                               std::getenv("WAYLAND_DISPLAY");
#else
    why = "built without the desktop front-end";
#endif
  } else {
    why = "no display (DISPLAY and WAYLAND_DISPLAY unset)";
  }

#ifdef QEL_WITH_NEWT
  if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
    std::fprintf(stderr, "qel-upgrade: %s, using the terminal\n", why.c_str());
    run_terminal();
  }
#endif
  std::fprintf(stderr, "qel-upgrade: %s and no terminal; it needs a display or a terminal\n",
               why.c_str());
  return 0;
}

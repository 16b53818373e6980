// qel-upgrade for Linux: the wizard with its dialogs on the desktop (Qt) when
// there is a display, else in the terminal (newt).
//
// Qt wants its event loop on the process's first thread, so with Qt that
// thread becomes the UI thread and the wizard runs on a second one, which is
// the wizard's "main thread" from then on. Whoever ends the run calls
// process_exit, which ends the whole process at once.
//
// Before the first dialog it checks that the TFTP listener will be allowed
// a port: when every one is refused for want of privilege, the user learns
// it at once (stderr and one message box), with the command that fixes it
// for this very file, and the run ends there with exit code 0 as every
// failed run of the wizard does. Only a program that could not show the
// wizard at all (no display, no terminal) exits with 1.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "app/app.h"
#include "frontends/common/text.h"
#include "platform/process.h"
#include "ui/ui.h"

#ifdef QEL_WITH_QT
#include <QApplication>
#include <QGuiApplication>

#include "frontends/qt/qt_frontend.h"
#endif
#ifdef QEL_WITH_NEWT
#include "frontends/terminal/terminal_frontend.h"
#endif
#ifdef QEL_WITH_ADMIN
#include "frontends/admin/admin.h"
#endif

#ifndef QEL_VERSION
#define QEL_VERSION "unknown"
#endif

namespace {

const char USAGE[] =
    "usage: qel-upgrade [--help | --version]\n"
    "       qel-upgrade scan|upgrade|fleet ...   (see qel-upgrade COMMAND --help)\n"
    "\n"
    "Upgrades the firmware of a QEL device on the local network. The wizard shows\n"
    "its dialogs on the desktop when DISPLAY or WAYLAND_DISPLAY is set, otherwise\n"
    "in the terminal. It serves the firmware over TFTP. The subcommands find the\n"
    "devices on the LAN and upgrade one or many without dialogs.\n";

const char PACKAGED_PROGRAM[] = "/usr/bin/qel-upgrade";

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

std::string real_program_path() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

// How to give this program the right to the TFTP ports, as lines
// separated by CR LF: the platform's command for the program's real path,
// and that the packaged program has the right already.
std::string privilege_hint() {
  std::string hint = process_bind_privilege_hint();
  if (real_program_path() != PACKAGED_PROGRAM)
    hint += std::string("\r\nInstalled from the qel-upgrade package, ") + PACKAGED_PROGRAM +
            " has it already.";
  return hint;
}

// For a terminal: LF line ends, and the command alone on its line, indented.
std::string as_lines(const std::string& text, const char* indent_command) {
  std::string out;
  for (const std::string& line : frontend::split_lines(text)) {
    if (line.rfind("sudo ", 0) == 0) out += indent_command;
    out += line + "\n";
  }
  return out;
}

// Whether every TFTP port the listener would try (UDP 69 to 168, any local
// address) is refused for want of privilege. The first port that binds ends
// the test; ports that are merely taken do not count as a refusal.
bool tftp_ports_refused() {
  bool refused = false;
  for (int port = 69; port <= 168; ++port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;  // the wizard will say what is wrong
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    int result = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int error = errno;
    close(fd);
    if (result == 0) return false;
    if (error == EACCES || error == EPERM) refused = true;
  }
  return refused;
}

// Set before any front-end starts when the TFTP ports are refused: then the
// message is all the wizard shows, at once rather than after four dialogs.
std::string refusal;

void print_refusal() {
  if (!refusal.empty()) std::fprintf(stderr, "qel-upgrade: %s", as_lines(refusal, "  ").c_str());
}

[[noreturn]] void run_wizard() {
  if (!refusal.empty()) {
    show_error(refusal.c_str());
    process_exit(0);
  }
  process_exit(wizard_main(nullptr));
}

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
      _exit(1);
    }
    frontend_install(frontend);
    run_wizard();
  }
  if (terminal_child < 0) {
    std::fprintf(stderr, "qel-upgrade: cannot start: %s\n", std::strerror(errno));
    std::exit(1);
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
      std::fputs(as_lines(privilege_hint(), "  ").c_str(), stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("qel-upgrade %s\n", QEL_VERSION);
      return 0;
    }
    std::fprintf(stderr, "qel-upgrade: unknown option %s\n%s", argv[i], USAGE);
    return 2;
  }

  if (tftp_ports_refused())
    refusal = std::string("Upgrade Failed: Can't bind TFTP listener socket\r\n") + privilege_hint();

  std::string why;
  if (set("DISPLAY") || set("WAYLAND_DISPLAY")) {
#ifdef QEL_WITH_QT
    // Windows can be placed only on X11; XWayland serves where DISPLAY is set.
    if (set("DISPLAY") && !set("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "xcb", 1);
    if (qt_can_start(argc, argv)) {
      print_refusal();
      run_desktop(argc, argv);
    }
    why = set("DISPLAY")
              ? std::string("cannot open the display ") + std::getenv("DISPLAY")
              : std::string("cannot open the Wayland display ") + std::getenv("WAYLAND_DISPLAY");
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
  print_refusal();
  std::fprintf(stderr, "qel-upgrade: %s and no terminal; it needs a display or a terminal\n",
               why.c_str());
  // The wizard never ran: unlike its own failures (exit 0, as the Windows
  // program), this one tells a script that nothing happened.
  return 1;
}

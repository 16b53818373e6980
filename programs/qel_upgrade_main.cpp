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
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frontends/common/privilege.h"
#include "frontends/common/text.h"
#include "platform/process.h"
#include "platform/trace_text.h"

#ifdef QEL_WITH_ADMIN
#include "admin/command_line.h"
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

// The probe's bounds: what it says is kept for the message when it fails,
// and a probe that hangs (a display that never answers) is given up.
constexpr std::size_t PROBE_SAID_MAX = 2048;
constexpr int PROBE_MS = 30000;

// What the probe said, made safe for a terminal (the text comes from Qt, its
// plugins and the display, none of them ours): escaped controls, each line
// indented, the last one cut at the bound.
std::string probe_said(const std::string& raw) {
  std::string printable(raw.size() * 4 + 1, '\0');
  trace_printable(raw.c_str(), printable.data(), printable.size());
  printable.resize(std::strlen(printable.c_str()));
  std::string out;
  for (const std::string& line : frontend::split_lines(printable)) {
    if (!line.empty()) out += "  " + line + "\n";
  }
  if (raw.size() >= PROBE_SAID_MAX) out += "  ...\n";
  return out;
}

// Whether Qt can open the display: the desktop program tries it in a child
// (--probe), because a platform plugin that cannot start ends the process
// that asked. When it cannot, *failure says how the probe ended and what it
// said on its standard error.
bool desktop_can_start(const std::string& program, std::string* failure) {
  int said[2];
  if (pipe2(said, O_CLOEXEC) != 0) {
    *failure = std::string("cannot probe the display: ") + std::strerror(errno) + "\n";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, said[1], STDERR_FILENO);
  char probe[] = "--probe";
  char* argv[] = {const_cast<char*>(program.c_str()), probe, nullptr};
  std::fflush(nullptr);
  pid_t child = 0;
  int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(said[1]);
  if (spawned != 0) {
    close(said[0]);
    *failure = "cannot start " + program + ": " + std::strerror(spawned) + "\n";
    return false;
  }
  // Read until the probe has ended (whatever else keeps the pipe open) or its
  // time is up; only the first PROBE_SAID_MAX bytes are kept.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(PROBE_MS);
  std::string raw;
  int status = 0;
  bool open = true;
  for (;;) {
    pid_t reaped = waitpid(child, &status, WNOHANG);
    if (reaped < 0 && errno != EINTR) {
      close(said[0]);
      *failure = std::string("lost the desktop program's probe: ") + std::strerror(errno) + "\n";
      return false;
    }
    bool ended = reaped == child;
    // What is in the pipe is taken: the first PROBE_SAID_MAX bytes kept, the
    // rest drained so that the probe never blocks writing. A bounded amount
    // each round, so that whatever else holds the pipe cannot keep this here.
    for (int chunks = 0; open && chunks < 64; ++chunks) {
      pollfd readable{said[0], POLLIN, 0};
      if (poll(&readable, 1, chunks == 0 && !ended ? 20 : 0) <= 0) break;
      char chunk[512];
      ssize_t n = read(said[0], chunk, sizeof chunk);
      if (n <= 0) {
        open = n < 0 && errno == EINTR;
        break;
      }
      raw.append(chunk, std::min(static_cast<std::size_t>(n), PROBE_SAID_MAX - raw.size()));
    }
    if (ended) break;
    if (!open) usleep(20000);
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(child, SIGKILL);
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      close(said[0]);
      *failure = "the desktop program's probe did not end within " +
                 std::to_string(PROBE_MS / 1000) + " s; it said:\n" + probe_said(raw);
      return false;
    }
  }
  close(said[0]);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  *failure = "the desktop program's probe " +
             (WIFSIGNALED(status) ? "was ended by signal " + std::to_string(WTERMSIG(status))
                                  : "exited with " + std::to_string(WEXITSTATUS(status))) +
             (raw.empty() ? std::string(" and said nothing\n") : "; it said:\n" + probe_said(raw));
  return false;
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
    } else if (std::string failure; desktop_can_start(desktop, &failure)) {
      std::fflush(nullptr);
      execv(desktop.c_str(), argv);
      why = std::string("cannot start ") + desktop + ": " + std::strerror(errno);
    } else {
      std::fprintf(stderr, "qel-upgrade: %s", failure.c_str());
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

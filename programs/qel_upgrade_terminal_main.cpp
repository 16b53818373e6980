// qel-upgrade-terminal: the wizard with its dialogs in the terminal (newt).
// qel-upgrade starts it when there is no display but a terminal; it lives
// beside the port helper, out of PATH, so that the command line and the
// administrators' subcommands never load newt.
//
// Before the first dialog it checks that the TFTP listener will be allowed
// a port: when every one is refused for want of privilege, the user learns
// it at once (stderr and one message box), with what fixes it, and the run
// ends there with exit code 0 as every failed run does.
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app.h"
#include "frontends/common/privilege.h"
#include "frontends/terminal/terminal_frontend.h"
#include "platform/process.h"
#include "ui/ui.h"

namespace {

// Set before the first dialog when the TFTP ports are refused: then the
// message is all the wizard shows, at once rather than after four dialogs.
std::string refusal;

void print_refusal() {
  if (!refusal.empty())
    std::fprintf(stderr, "qel-upgrade: %s", frontend::terminal_lines(refusal, "  ").c_str());
}

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

}  // namespace

int main() {
  refusal = frontend::tftp_bind_refusal();
  run_terminal();
}

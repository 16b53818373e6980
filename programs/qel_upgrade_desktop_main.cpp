// qel-upgrade-desktop: the wizard with its dialogs on the desktop (Qt). The
// desktop package installs it beside the port helper, out of PATH; qel-upgrade
// starts it when there is a display, after `--probe` has shown in a child
// that Qt can open it. It holds no privilege: Qt loads plugins named by the
// environment, so the right to the TFTP ports stays with the helper.
//
// Qt wants its event loop on the process's first thread, so that thread
// becomes the UI thread and the wizard runs on a second one, which is the
// wizard's "main thread" from then on. Whoever ends the run calls
// process_exit, which ends the whole process at once.
#include <QApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "app/app.h"
#include "frontends/common/privilege.h"
#include "frontends/qt/qt_frontend.h"
#include "platform/process.h"
#include "ui/ui.h"

namespace {

// Set before the first dialog when the TFTP ports are refused: then the
// message is all the wizard shows.
std::string refusal;

[[noreturn]] void run_wizard() {
  if (!refusal.empty()) {
    show_error(refusal.c_str());
    process_exit(0);
  }
  process_exit(wizard_main(nullptr));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--probe") == 0) {
    QGuiApplication probe(argc, argv);
    return 0;
  }
  refusal = frontend::tftp_bind_refusal();
  if (!refusal.empty())
    std::fprintf(stderr, "qel-upgrade: %s", frontend::terminal_lines(refusal, "  ").c_str());

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

// `qel-upgrade upgrade`: the wizard runs unchanged, its dialogs answered by
// CliFrontend (dialog_answers.h): its checks, its wire formats and its messages are
// the ones a person sees.
//
// The wizard ends the process itself (process_exit, from whichever thread
// finishes the run, always with 0); the exit hook turns what the front-end
// saw into the result, prints it and ends the process with the right code.
#include "admin/upgrade/upgrade.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "admin/output.h"
#include "admin/record/outcome.h"
#include "admin/rollout/clock.h"
#include "admin/rollout/patience.h"
#include "admin/scan/scan.h"
#include "admin/upgrade/dialog_answers.h"
#include "admin/upgrade/password_file.h"
#include "admin/upgrade/progress.h"
#include "app/app.h"
#include "firmware/firmware.h"
#include "frontends/common/dotted.h"
#include "frontends/common/privilege.h"
#include "frontends/common/text.h"
#include "platform/console.h"
#include "platform/device_lock.h"
#include "platform/net.h"
#include "platform/options.h"
#include "platform/portable/frontend.h"
#include "platform/process.h"
#include "platform/program.h"
#include "platform/secret.h"
#include "platform/subnets.h"
#include "platform/thread.h"
#include "session/session.h"
#include "ui/ui.h"

namespace admin {

namespace {

using Clock = std::chrono::steady_clock;

// After Ctrl-C, how long to wait for a dialog to take the Cancel before the
// run is ended without it.
constexpr auto CANCEL_GRACE = std::chrono::seconds(5);

// Everything the exit hook needs; set once before the wizard starts.
CliFrontend* frontend = nullptr;
Progress* progress = nullptr;
UpgradeOptions run_options;
Clock::time_point started;
// How many times the device was contacted: by --keep-trying's probes, or
// once by the wizard.
int contacts = 0;

void report(const RunFacts& facts, const Outcome& o) {
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::string line = run_options.json ? upgrade_json(outcome_record(facts, o, seconds))
                                      : outcome_line(facts, o, seconds);
  print_out("%s\n", line.c_str());
}

// A run the command line ends before the wizard starts goes through the
// same decision and report as every other.
int end_before_wizard(int own_code, const std::string& message, Code failure) {
  RunFacts facts;
  facts.address = run_options.address;
  facts.version_target = image_version(&target_image);
  facts.own_code = own_code;
  facts.own_message = message;
  facts.own_failure = failure;
  facts.attempts = contacts;
  Outcome o = decide_outcome(facts);
  report(facts, o);
  return o.code;
}

// Called by process_exit on whichever thread ends the run.
void finish(int) {
  static std::atomic<bool> finishing{false};
  if (finishing.exchange(true)) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));  // the first caller ends it
  }
  forget_run_secrets();  // however the run ended, a second Ctrl-C included
  RunFacts facts = frontend->facts();
  facts.attempts = contacts;
  Outcome o = decide_outcome(facts);
  sys::restore_terminal();
  progress->clear();
  report(facts, o);
  sys::end_process(o.code);
}

// Takes Ctrl-C (and on POSIX the end of the session or a polite kill) for
// the whole process: the first one cancels whatever dialog is open, as
// Cancel would; a second one, or no dialog taking it in time, ends the run
// at once.
int interrupt_thread(void*) {
  int received = 0;
  bool pending = false;  // a Cancel waits for a dialog to take it
  Clock::time_point give_up_at = Clock::time_point::max();
  for (;;) {
    if (sys::wait_interrupt(pending ? 20 : 250)) {
      if (++received > 1) process_exit(0);
      pending = !frontend->interrupt();
      give_up_at = Clock::now() + CANCEL_GRACE;
      continue;
    }
    if (pending) pending = !frontend->interrupt();
    // A stalled run is ended like a Cancel, with the same grace.
    if (give_up_at == Clock::time_point::max() && frontend->end_if_stalled())
      give_up_at = Clock::now() + CANCEL_GRACE;
    if (Clock::now() > give_up_at) process_exit(0);
  }
}

}  // namespace

namespace {

bool interrupted = false;

// Asked by the probe between its short waits: a Ctrl-C ends it.
bool interrupted_now() {
  if (!interrupted && sys::wait_interrupt(0)) interrupted = true;
  return interrupted;
}

// --keep-trying: tries the device until it answers and no other run holds
// it, waiting longer each time (rollout/patience.h), until the time is up
// or Ctrl-C. Each try takes the device's lock and asks for its information
// page afresh, as scan does, so nothing more is ever sent to a device that
// has not answered; between tries the lock is free for other runs. -1 with
// the lock in *held once the device answered (the wizard runs next), else
// the exit code of the run's end, reported.
int keep_trying(const UpgradeOptions& options, std::uint32_t device,
                std::unique_ptr<sys::DeviceLock>* held) {
  // Ctrl-C from here on ends a wait instead of the process.
  sys::catch_interrupts();
  if (net_startup() != 0)
    return end_before_wizard(EXIT_FAILED, "cannot use the network", Code::SOCKETS_START);
  const std::string name = frontend::dotted(device);
  const auto until = rollout_now() + options.keep_trying;
  std::mt19937 random{std::random_device{}()};
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  bool noted = false;
  for (int tries = 1;; ++tries) {
    auto lock = std::make_unique<sys::DeviceLock>();
    sys::LockHolder holder;
    std::string why, missed;
    bool busy = false;
    sys::DeviceLock::State state = lock->take(device, &holder, &why);
    if (state == sys::DeviceLock::FAILED) {
      std::string message =
          "cannot take the lock of " + name + ": " + frontend::shown_utf8(why) + ": not contacted";
      print_err("qel-upgrade upgrade: %s\n", message.c_str());
      return end_before_wizard(EXIT_FAILED, message, Code::DEVICE_LOCK);
    }
    if (state == sys::DeviceLock::BUSY) {
      busy = true;
      missed = "another run on this PC is upgrading " + name + " (" +
               frontend::shown_utf8(sys::holder_text(holder)) + ")";
    } else {
      if (!lock->note().empty() && !noted) {
        noted = true;
        print_err("qel-upgrade upgrade: %s\n", frontend::shown_utf8(lock->note()).c_str());
      }
      ++contacts;
      if (device_answers(device, interrupted_now)) {
        *held = std::move(lock);
        return -1;
      }
      missed = "QEL@" + name + " did not answer";
      lock.reset();  // another run may have it meanwhile
    }
    const std::string count = std::to_string(tries) + (tries == 1 ? " try" : " tries");
    if (interrupted)
      return end_before_wizard(
          EXIT_ABORTED, "interrupted while trying " + name + " (" + count + "): nothing was sent",
          Code::USER_ABORT);
    auto now = rollout_now();
    if (now >= until) {
      std::string message = missed + ": not upgraded (" + count + " in " +
                            duration_text(options.keep_trying) + ", --keep-trying)";
      print_err("qel-upgrade upgrade: %s\n", message.c_str());
      return busy ? end_before_wizard(EXIT_BUSY, message, Code::NONE)
                  : end_before_wizard(EXIT_UNREACHABLE, message, Code::NO_RESPONSE);
    }
    auto next = std::min(now + retry_delay(tries, uniform(random)), until);
    long left = static_cast<long>(std::ceil(std::chrono::duration<double>(next - now).count()));
    print_err("qel-upgrade upgrade: %s (try %d): next try at %s (in %s)\n", missed.c_str(), tries,
              clock_text(left).c_str(), duration_text(std::chrono::seconds(left)).c_str());
    if (sys::wait_interrupt(static_cast<int>(real_wait(next - now).count()))) {
      interrupted = true;
      return end_before_wizard(
          EXIT_ABORTED,
          "interrupted while waiting to try " + name + " again (" + count + "): not upgraded",
          Code::USER_ABORT);
    }
  }
}

// This PC's address toward the device, from all of its interfaces: --local
// if given (it must be one of them), else the one on the device's subnet;
// 0 when there is none (the wizard then offers its first). False after a
// usage error, which it printed.
bool choose_local_address(const UpgradeOptions& options, std::uint32_t* local) {
  std::vector<sys::Subnet> subnets = sys::interface_subnets();
  *local = 0;
  if (!options.local.empty()) {
    if (!frontend::parse_dotted(options.local, local)) {
      print_err("qel-upgrade upgrade: --local needs an IPv4 address, not %s\n",
                frontend::shown_utf8(options.local).c_str());
      return false;
    }
    std::string list;
    for (const sys::Subnet& s : subnets) {
      if (s.address == *local) return true;
      list += (list.empty() ? "" : ", ") + frontend::dotted(s.address);
    }
    print_err("qel-upgrade upgrade: --local %s is not an address of this PC (%s)\n",
              options.local.c_str(),
              list.empty() ? "it has none" : ("its addresses: " + list).c_str());
    return false;
  }
  std::uint32_t device = 0;
  if (parse_ip_address(options.address.c_str(), &device) != 0 || device == 0)
    return true;  // the wizard's address check says what is wrong
  for (const sys::Subnet& s : subnets)
    if (s.holds(device)) {
      *local = s.address;
      return true;
    }
  print_err(
      "qel-upgrade upgrade: no address of this PC is on the subnet of %s: the device may "
      "not reach the one used (choose another with --local)\n",
      options.address.c_str());
  return true;
}

}  // namespace

int run_upgrade(const UpgradeOptions& options) {
  started = Clock::now();
  run_options = options;
  if (options.exit_with_parent && !sys::tie_to_parent()) return EXIT_ABORTED;
  // The wizard's own check (as a fleet's list is checked), said once as a
  // usage error rather than as a failed upgrade.
  std::uint32_t device = 0;
  if (options.address.size() > 63 ||
      options.address.find_first_not_of("0123456789.") != std::string::npos ||
      parse_ip_address(options.address.c_str(), &device) != 0 || device == 0) {
    print_err("qel-upgrade upgrade: not an IPv4 address: %s\n",
              frontend::shown_utf8(options.address).c_str());
    return EXIT_USAGE;
  }
  if (!frontend::printable_ascii(options.user) || options.user.size() > CREDENTIAL_LIMIT) {
    print_err(
        "qel-upgrade upgrade: --user takes a name of 1 to %zu printable ASCII "
        "characters\n",
        CREDENTIAL_LIMIT);
    return EXIT_USAGE;
  }
  std::string password;
  bool have_password = false;
  // A fleet's upgrade reads nothing from standard input: on Windows that is
  // the fleet's cancel channel.
  if (options.exit_with_parent && options.password_file == "-") {
    print_err("qel-upgrade upgrade: a fleet's upgrade takes no password from standard input\n");
    return EXIT_USAGE;
  }
  if (!options.password_file.empty()) {
    sys::make_undumpable();
    std::string error;
    if (!read_password_file(options.password_file, &password, &error)) {
      print_err("qel-upgrade upgrade: %s\n", frontend::shown_utf8(error).c_str());
      return EXIT_USAGE;
    }
    have_password = true;
  }
  std::uint32_t local = 0;
  if (!choose_local_address(options, &local)) return EXIT_USAGE;
  // A fleet's hundred upgrades would share the wizard's 101 client ports.
  platform_set_options({.system_client_ports = true, .preferred_local_address = local});

  // Before the device is contacted: without a port to serve from, the
  // upgrade cannot happen, and a dry run would promise what cannot be done.
  if (std::string refusal = frontend::tftp_bind_refusal(local); !refusal.empty()) {
    print_err("qel-upgrade upgrade: %s\n", frontend::plain_text(refusal).c_str());
    return end_before_wizard(EXIT_NO_PORT, failure_text(FAILURE_LISTENER_BIND),
                             Code::LISTENER_BIND);
  }

  // With --keep-trying the lock is taken there, once the device answers.
  static std::unique_ptr<sys::DeviceLock> patient_lock;
  if (options.keep_trying.count() > 0) {
    if (int ended = keep_trying(options, device, &patient_lock); ended >= 0) return ended;
  }
  // Held until the process ends, however it ends.
  static sys::DeviceLock lock;
  if (!patient_lock) {
    sys::LockHolder holder;
    std::string why;
    sys::DeviceLock::State state = lock.take(device, &holder, &why);
    if (state == sys::DeviceLock::FAILED) {
      std::string message = "cannot take the lock of " + frontend::dotted(device) + ": " +
                            frontend::shown_utf8(why) + ": not contacted";
      print_err("qel-upgrade upgrade: %s\n", message.c_str());
      return end_before_wizard(EXIT_FAILED, message, Code::DEVICE_LOCK);
    }
    if (state == sys::DeviceLock::BUSY) {
      std::string message = "another run on this PC is upgrading " + frontend::dotted(device) +
                            " (" + frontend::shown_utf8(sys::holder_text(holder)) +
                            "): not contacted";
      print_err("qel-upgrade upgrade: %s\n", message.c_str());
      return end_before_wizard(EXIT_BUSY, message, Code::NONE);
    }
    if (!lock.note().empty())
      print_err("qel-upgrade upgrade: %s\n", frontend::shown_utf8(lock.note()).c_str());
  }

  // Only the interrupt thread sees Ctrl-C from here on; a reader that went
  // away must not stop an upgrade half-way.
  sys::catch_interrupts();

  progress = new Progress(sys::can_redraw(sys::Stream::Error));
  frontend = new CliFrontend(options, progress, std::move(password), have_password,
                             sys::is_terminal(sys::Stream::Input), local);
  frontend_install(frontend);
  contacts = std::max(contacts, 1);  // the wizard's, or the probe's before it
  process_set_exit_hook(finish);
  PlatformThread* interrupts = thread_start(interrupt_thread, nullptr);
  if (!interrupts) {
    print_err("qel-upgrade upgrade: cannot start a thread: not contacted\n");
    return end_before_wizard(EXIT_FAILED, "cannot start a thread: not contacted", Code::NONE);
  }
  thread_release(interrupts);  // it ends the run itself
  process_exit(wizard_main(nullptr));
}

}  // namespace admin
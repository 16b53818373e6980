// One process per device: a device that hangs, crashes or misbehaves ends
// only its own upgrade, and one that takes too long is stopped. Each upgrade
// leaves a device already on the Target version alone (reported skipped).
#include "admin/fleet/fleet.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>

#include "admin/fleet/list.h"
#include "admin/fleet/log.h"
#include "admin/fleet/report.h"
#include "admin/fleet/view.h"
#include "admin/output.h"
#include "admin/rollout/clock.h"
#include "admin/rollout/patience.h"
#include "admin/rollout/window.h"
#include "admin/upgrade/progress.h"
#include "frontends/common/privilege.h"
#include "frontends/common/text.h"
#include "platform/child_process.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/program.h"
#include "ui/failures.h"
#include "ui/ui.h"

namespace admin {

namespace {

// The rollout's clock (rollout/clock.h): the system's in the product.
struct Clock {
  using time_point = RolloutClock::time_point;
  static time_point now() { return rollout_now(); }
};

// Waits for the window are checked again at least this often: the wall
// clock may be set, or change for daylight saving time, meanwhile.
constexpr auto WINDOW_RECHECK = std::chrono::minutes(5);

// After the time limit a child is asked to cancel and has this long to
// report before it is killed.
constexpr auto STOP_GRACE = std::chrono::seconds(10);

// A child that found every TFTP port taken did nothing to its device: it is
// started again later, this many times at most.
constexpr int PORT_RETRIES = 20;

struct Device {
  FleetEntry entry;
  enum Phase { WAITING, RUNNING, DONE } phase = WAITING;
  bool canary = false;
  int port_retries = 0;
  DeviceLog log;
  sys::ChildProcess process;
  std::string out, err_partial;
  std::string state = "waiting";
  int percent = -1;
  Clock::time_point began, deadline;
  bool timed_out = false;
  Clock::time_point kill_at = Clock::time_point::max();
  ReportRow row;
  // --keep-trying: its tries in a row that did not reach it (unreachable,
  // busy), and when the next may start ({}: whenever a slot is free).
  int unreached = 0;
  Clock::time_point next_try{};
  int tries = 0;  // its upgrades started (one a try)
};

class Fleet {
 public:
  Fleet(const FleetOptions& options, std::vector<FleetEntry> entries,
        const std::vector<ReportRow>& earlier, ReportFile* report, sys::FleetEvents* events,
        int parallel, int log_folder)
      : options_(options),
        log_folder_(log_folder),
        self_(sys::self_path()),
        terminal_(sys::is_terminal(sys::Stream::Error)),
        report_(report),
        events_(events),
        parallel_(parallel),
        canary_phase_(options.canary > 0),
        may_start_(!options.has_window),
        view_(terminal_) {
    for (PlannedDevice& planned : plan_rollout(std::move(entries), earlier)) {
      Device d;
      d.entry = std::move(planned.entry);
      d.row.address = d.entry.address;
      if (planned.carried) {
        d.row = planned.row;
        d.phase = Device::DONE;
      } else {
        waiting_.push_back(devices_.size());
      }
      devices_.push_back(std::move(d));
    }
    to_upgrade_ = static_cast<int>(waiting_.size());
    failure_limit_ = options.max_failures_percent
                         ? std::max(1, (to_upgrade_ * options.max_failures + 99) / 100)
                         : options.max_failures;
  }

  int run();

 private:
  int running() const {
    int count = 0;
    for (const Device& d : devices_) count += d.phase == Device::RUNNING;
    return count;
  }
  int slots(int running) const;
  void start_next(std::size_t index);
  bool spawn(Device& d, std::string* error);
  void enforce_time_limit(Device& d, Clock::time_point now);
  void on_event(sys::FleetEvent& event);
  void read_errors(Device& d, const std::string& bytes);
  void child_ended(Device& d, const sys::ChildExit& how);
  void finish(Device& d, Result result, const std::string& message);
  void on_interrupt(bool terminate);
  // The system ends the fleet soon (its console closed, its session ends):
  // what has not reported by then is stopped and reported as in flight.
  void stop_unreported();
  void redraw();
  void say(const std::string& line);  // a permanent line above the live block
  // snapshot: the state now (running devices as "running"), not the end.
  bool write_report(bool snapshot = false);

  // --window and --keep-trying (rollout/), and the report kept current.
  void follow_window(Clock::time_point now);
  bool start_ready(Clock::time_point now);
  bool try_again_later(Device& d, Result result, std::string* message);
  void end_waiting(const std::string& why, Code code);
  Clock::time_point next_wake(Clock::time_point now) const;
  std::string window_line(Clock::time_point now) const;
  ReportRow row_now(const Device& d, bool interrupted) const;
  void keep_report_current();

  const FleetOptions options_;
  const int log_folder_;  // --log-dir, -1 without
  const std::string self_;
  const bool terminal_;
  ReportFile* const report_;
  sys::FleetEvents* const events_;
  int parallel_;  // lowered when TFTP ports run short
  std::vector<Device> devices_;
  std::deque<std::size_t> waiting_;  // indexes into devices_, in list order
  int to_upgrade_ = 0;
  bool stopping_ = false;  // Ctrl-C or a signal: nothing more starts
  bool aborting_ = false;
  Clock::time_point end_by_ = Clock::time_point::max();
  std::string halted_;  // why nothing more starts (a canary, the failure limit)
  bool canary_phase_;
  int canaries_passed_ = 0;
  int failures_ = 0;
  int failure_limit_ = 0;  // 0: none
  Clock::time_point started_ = Clock::now();
  bool may_start_;            // false while --window is not open
  bool window_over_ = false;  // --window closed after it had opened
  bool window_said_ = false;  // the wait for it was announced
  bool began_ = false;        // upgrades could start (the window opened)
  Clock::time_point window_change_ = Clock::time_point::max();  // it opens or closes
  Clock::time_point keep_until_ = Clock::time_point::max();     // --keep-trying's end
  std::mt19937 random_{std::random_device{}()};
  bool ending_waiting_ = false;  // one report for them all, afterwards
  bool report_error_said_ = false;
  FleetView view_;
};

int Fleet::slots(int running) const {
  if (stopping_ || !halted_.empty()) return 0;
  if (!may_start_ || window_over_) return 0;
  if (canary_phase_) {
    int canaries_running = 0;
    for (const Device& d : devices_) canaries_running += d.canary && d.phase == Device::RUNNING;
    return options_.canary - canaries_passed_ - canaries_running;
  }
  return parallel_ - running;
}

void Fleet::start_next(std::size_t index) {
  Device& d = devices_[index];
  d.canary = canary_phase_;
  d.began = Clock::now();
  ++d.tries;
  std::string error;
  if (!spawn(d, &error)) {
    d.row.code = Code::NO_RESULT;
    finish(d, Result::FAILED, "cannot start: " + error);
  }
}

bool Fleet::spawn(Device& d, std::string* start_error) {
  std::vector<std::string> args = {self_,    "upgrade", d.entry.address,
                                   "--json", "--yes",   "--exit-with-parent"};
  if (options_.force) args.push_back("--force");
  if (!d.entry.password_file.empty()) {
    args.insert(args.end(), {"--user", d.entry.user, "--password-file", d.entry.password_file});
  }
  std::size_t id = static_cast<std::size_t>(&d - devices_.data());
  if (!d.process.start(self_, args, id, events_, start_error)) return false;
  d.out.clear();
  d.err_partial.clear();
  d.phase = Device::RUNNING;
  d.state = "start";
  d.percent = -1;
  d.deadline = d.began + std::chrono::seconds(options_.timeout_seconds);
  std::string error;
  if (log_folder_ >= 0 &&
      !d.log.open(log_folder_, options_.log_dir, d.entry.address, &d.row.log, &error) &&
      !error.empty())
    say("qel-upgrade fleet: " + d.entry.address + " is not logged: " + error);
  d.log.line("---- " + clock_text() + " upgrade of " + d.entry.address + " started" +
             (d.canary ? " (canary)" : ""));
  if (!terminal_)
    say(clock_text() + " " + d.entry.address + " started" + (d.canary ? " (canary)" : ""));
  return true;
}

void Fleet::enforce_time_limit(Device& d, Clock::time_point now) {
  if (!d.process.running()) return;
  if (!d.timed_out && now >= d.deadline) {
    d.timed_out = true;
    d.kill_at = now + STOP_GRACE;
    say(d.entry.address + ": no result after " + std::to_string(options_.timeout_seconds) +
        " s: stopping it");
    d.process.cancel(sys::CancelReason::TIME_LIMIT);  // it still reports
  } else if (now >= d.kill_at) {
    d.kill_at = Clock::time_point::max();
    d.process.kill();
  }
}

void Fleet::on_event(sys::FleetEvent& event) {
  if (event.kind == sys::FleetEvent::INTERRUPT || event.kind == sys::FleetEvent::TERMINATE) {
    on_interrupt(event.kind == sys::FleetEvent::TERMINATE);
    if (event.within_ms > 0)
      end_by_ = std::min(end_by_, Clock::now() + std::chrono::milliseconds(event.within_ms));
    return;
  }
  if (event.child >= devices_.size()) return;
  Device& d = devices_[event.child];
  if (d.phase == Device::DONE) {  // stopped by stop_unreported: recorded already
    if (event.kind == sys::FleetEvent::EXITED) d.process.reap();
    return;
  }
  if (event.kind == sys::FleetEvent::OUTPUT) {
    d.out += event.bytes;
  } else if (event.kind == sys::FleetEvent::ERRORS) {
    read_errors(d, event.bytes);
  } else {
    d.process.reap();
    child_ended(d, event.exit);
  }
}

void Fleet::read_errors(Device& d, const std::string& bytes) {
  d.err_partial += bytes;
  std::size_t end;
  while ((end = d.err_partial.find('\n')) != std::string::npos) {
    std::string line = d.err_partial.substr(0, end);
    d.err_partial.erase(0, end + 1);
    d.log.line(line);
    std::string state, text;
    int percent;
    if (parse_step_line(line, &state, &percent, &text) && d.phase == Device::RUNNING) {
      if (state != d.state && !terminal_)
        say(clock_text() + " " + d.entry.address + " " + state + "  " + frontend::shown_utf8(text));
      d.state = state;
      d.percent = percent;
    }
  }
}

void Fleet::finish(Device& d, Result result, const std::string& message) {
  d.phase = Device::DONE;
  d.row.result = result;
  d.row.message = message;
  bool started = d.began != Clock::time_point{};
  d.row.seconds = started ? std::chrono::duration<double>(Clock::now() - d.began).count() : 0;
  const std::string word = result_word(result);
  d.log.line("---- " + clock_text() + " result: " + word + (message.empty() ? "" : ": ") +
             frontend::shown_utf8(message));
  d.log.close();
  // What the fleet's own abort ended says nothing of the firmware or the
  // devices; an unreachable canary says nothing of the firmware (the next
  // device is the canary), though it counts against --max-failures.
  if (is_failure(result) && !aborting_) {
    ++failures_;
    if (d.canary && result != Result::UNREACHABLE && halted_.empty()) {
      halted_ = "the canary " + d.entry.address + " ended " + word;
      say("qel-upgrade fleet: " + halted_ + ": no more upgrades start");
    } else if (failure_limit_ > 0 && failures_ >= failure_limit_ && halted_.empty()) {
      halted_ = std::to_string(failures_) + (failures_ == 1 ? " upgrade" : " upgrades") +
                " failed (--max-failures)";
      say("qel-upgrade fleet: " + halted_ + ": no more upgrades start; the running ones finish");
    }
  } else if (d.canary && result == Result::UPGRADED && ++canaries_passed_ == options_.canary) {
    canary_phase_ = false;
    say("qel-upgrade fleet: the canaries were upgraded; the rollout goes on");
  }
  std::string line = (terminal_ ? "" : clock_text() + " ") + d.entry.address + "  " + word;
  if (result == Result::UPGRADED)
    line += "  " + frontend::shown_utf8(d.row.version_before) + " -> " +
            frontend::shown_utf8(d.row.version_after);
  else if (!message.empty())
    line += "  " + frontend::shown_utf8(message);
  line += "  (" + seconds_text(d.row.seconds) + " s)";
  if (d.tries > 1) line += ", " + std::to_string(d.tries) + " tries";
  keep_report_current();  // current by the time the line shows
  say(line);
}

void Fleet::child_ended(Device& d, const sys::ChildExit& how) {
  UpgradeRecord record;
  bool have = read_upgrade_json(d.out, &record);
  // Its own count; one without a result may have reached the device.
  d.row.attempts += have ? record.attempts : !(aborting_ && sys::ended_by_abort(how));
  std::string limit = "no result within " + std::to_string(options_.timeout_seconds) + " s";
  if (!have && aborting_ && sys::ended_by_abort(how)) {
    // The abort reached it before it ran the upgrade.
    finish(d, Result::ABORTED, "aborted before it contacted the device");
    return;
  }
  if (!have && end_by_ != Clock::time_point::max()) {
    // Ended with the fleet's console or session before it reported.
    finish(d, Result::RUNNING,
           "in flight (" + d.state + ") when the fleet had to end: ended before it reported (" +
               sys::child_exit_text(how) + ")");
    return;
  }
  if (!have) {
    std::string ended = sys::child_exit_text(how);
    d.row.code = d.timed_out ? Code::TIMEOUT : Code::NO_RESULT;
    finish(d, Result::FAILED,
           d.timed_out ? limit + ": stopped (" + ended + ")"
                       : "the upgrade process ended without a result (" + ended + ")");
    return;
  }
  // The child's values as it wrote them: its JSON is UTF-8 already.
  Result result = record.result;
  if (!record.product.empty()) d.row.product = record.product;
  if (!record.version_before.empty()) d.row.version_before = record.version_before;
  d.row.version_after = record.version_after;
  d.row.code = record.code;
  std::string message = record.message;
  if (result == Result::CURRENT) {
    finish(d, Result::SKIPPED, "already on " + record.version_target);
    return;
  }
  if (result == Result::FAILED && d.row.code == Code::LISTENER_BIND && !d.timed_out &&
      ++d.port_retries <= PORT_RETRIES) {
    // Other upgrades hold every port: nothing reached the device; it waits
    // for one of them to end.
    d.log.line("---- every TFTP port is taken: waiting for one");
    --d.tries;  // not a try: nothing reached the device
    d.phase = Device::WAITING;
    d.state = "waiting";
    d.percent = -1;
    waiting_.push_front(static_cast<std::size_t>(&d - devices_.data()));
    parallel_ = std::max(1, running());
    return;
  }
  if (d.timed_out) {
    // Stopped by the limit: whatever it said then, it did not finish in time.
    // The stop reached it as a Cancel: its "User Abort" is not what happened.
    if (d.row.code == Code::USER_ABORT && result != Result::UNVERIFIED) message.clear();
    d.row.code = Code::TIMEOUT;
    finish(d, result == Result::UNVERIFIED ? result : Result::FAILED,
           limit + ": stopped" + (message.empty() ? "" : " (" + message + ")"));
    return;
  }
  if (try_again_later(d, result, &message)) return;
  finish(d, result, message);
}

void Fleet::on_interrupt(bool terminate) {
  bool abort_now = terminate || stopping_;
  if (!stopping_) {
    stopping_ = true;
    // The state at this moment, in case the fleet is ended harder next.
    if (!report_->to_standard_output()) write_report(true);
    if (!abort_now)
      say("qel-upgrade fleet: interrupted: no more upgrades start; the running ones finish "
          "(Ctrl-C again aborts them)");
  }
  if (abort_now && !aborting_) {
    aborting_ = true;
    say("qel-upgrade fleet: aborting the running upgrades");
    // Each child takes it as Cancel in its open dialog.
    for (Device& d : devices_) d.process.cancel(sys::CancelReason::ABORT);
  }
}

void Fleet::stop_unreported() {
  for (Device& d : devices_) {
    if (d.phase != Device::RUNNING) continue;
    d.process.kill();
    std::string step = d.state;
    if (d.percent >= 0) step.append(" ").append(std::to_string(d.percent)).append("%");
    finish(d, Result::RUNNING,
           "in flight (" + step + ") when the fleet had to end: stopped before it reported");
  }
}

void Fleet::say(const std::string& line) { view_.say(line); }

void Fleet::redraw() {
  if (!view_.terminal()) return;
  auto now = Clock::now();
  std::vector<LiveLine> running;
  FleetTotals totals;
  std::vector<LiveLine> retrying;
  for (const Device& d : devices_) {
    if (d.phase == Device::WAITING) {
      ++totals.waiting;
      if (d.unreached > 0) {
        long left = static_cast<long>(
            std::max(0.0, std::ceil(std::chrono::duration<double>(d.next_try - now).count())));
        retrying.push_back({d.entry.address, "", -1, 0, clock_text(left), left, d.tries});
      }
    } else if (d.phase == Device::DONE) {
      totals.upgraded += d.row.result == Result::UPGRADED;
      totals.skipped += d.row.result == Result::SKIPPED;
      totals.failed += is_failure(d.row.result);
    } else {
      running.push_back({d.entry.address, d.state, d.percent,
                         std::chrono::duration<double>(now - d.began).count(), "", 0, 0});
    }
  }
  totals.running = static_cast<int>(running.size());
  totals.elapsed_seconds = static_cast<long>(std::chrono::duration<double>(now - started_).count());
  totals.note = stopping_ ? " (interrupted)" : !halted_.empty() ? " (halted)" : "";
  totals.window = window_line(now);
  running.insert(running.end(), retrying.begin(), retrying.end());
  view_.redraw(running, totals);
}

bool Fleet::write_report(bool snapshot) {
  std::vector<ReportRow> rows;
  for (const Device& d : devices_) rows.push_back(snapshot ? row_now(d, true) : d.row);
  std::string error;
  bool written = report_->commit(rows, &error);
  if (!error.empty() && (written || snapshot))
    say("qel-upgrade fleet: " + frontend::shown_utf8(error));
  if (written) return true;
  if (snapshot) return false;
  // Never lost: on standard output when its file cannot take it.
  print_err("qel-upgrade fleet: %s; the report follows on standard output\n",
            frontend::shown_utf8(error).c_str());
  print_out("%s", report_csv(rows).c_str());
  return false;
}

// ---- --window, --keep-trying, and the report kept current ----

// Opens the way for upgrades when --window opens, and closes it for good
// when the window closes: what has not started by then ends not-started
// (window-closed), and the running upgrades finish whatever the clock says.
// Without --window the way is open from the start.
void Fleet::follow_window(Clock::time_point now) {
  auto begin = [&] {
    began_ = true;
    if (options_.keep_trying.count() > 0) keep_until_ = now + options_.keep_trying;
  };
  if (!options_.has_window) {
    if (!began_) begin();
    return;
  }
  if (window_over_) return;
  WindowState state = window_state(options_.window, sys::local_time(rollout_wall_now()));
  window_change_ = now + std::chrono::seconds(state.seconds_to_change);
  const std::string window = "the window " + window_text(options_.window);
  const std::string at = terminal_ ? "" : clock_text() + " ";
  if (state.inside && !may_start_) {
    may_start_ = true;
    begin();
    if (window_said_) say(at + window + " is open: upgrades start");
  } else if (!state.inside && may_start_) {
    may_start_ = false;
    window_over_ = true;
    say(at + window + " closed: no more upgrades start" +
        (running() > 0 ? "; the running ones finish" : ""));
    end_waiting(window + " closed", Code::WINDOW_CLOSED);
  } else if (!state.inside && !window_said_) {
    window_said_ = true;
    say(at + "waiting for " + window + ": it opens at " + clock_text(state.seconds_to_change) +
        " (in " + duration_text(std::chrono::seconds(state.seconds_to_change)) + ")");
  }
}

// Starts the first device in the list's order whose turn it is; false when
// none is (the others wait for their next try).
bool Fleet::start_ready(Clock::time_point now) {
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
    if (devices_[*it].next_try > now) continue;
    std::size_t index = *it;
    waiting_.erase(it);
    start_next(index);
    return true;
  }
  return false;
}

// --keep-trying: a device that was not reached (unreachable, or busy: held
// by another run) waits for another try instead of ending, while one can
// still start: before the patience ends (the last try comes then), before
// the window closes, and while nothing stops the rollout. False when it
// ends now, with the tries it had said in *message.
bool Fleet::try_again_later(Device& d, Result result, std::string* message) {
  if (options_.keep_trying.count() == 0 ||
      (result != Result::UNREACHABLE && result != Result::BUSY))
    return false;
  const int tries = d.tries;
  ++d.unreached;
  Clock::time_point now = Clock::now();
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  Clock::time_point next = std::min(now + retry_delay(d.unreached, uniform(random_)), keep_until_);
  std::string why;
  if (stopping_ || !halted_.empty())
    why = "nothing more starts";
  else if (now >= keep_until_)
    why = "--keep-trying's " + duration_text(options_.keep_trying) + " are over";
  else if (options_.has_window && next >= window_change_)
    why = "the window closes before the next";
  if (!why.empty()) {
    if (tries > 1) *message += " (" + std::to_string(tries) + " tries; " + why + ")";
    return false;
  }
  d.phase = Device::WAITING;
  d.state = "waiting";
  d.percent = -1;
  d.next_try = next;
  d.row.result = result;
  d.row.message = *message;
  d.row.seconds = std::chrono::duration<double>(now - d.began).count();
  std::size_t index = static_cast<std::size_t>(&d - devices_.data());
  waiting_.insert(std::find_if(waiting_.begin(), waiting_.end(),
                               [&](std::size_t other) { return other > index; }),
                  index);
  long left = static_cast<long>(std::ceil(std::chrono::duration<double>(next - now).count()));
  std::string when = clock_text(left);
  const std::string word = result_word(result);
  d.log.line("---- " + clock_text() + " " + word + " (try " + std::to_string(tries) +
             "): next try at " + when);
  keep_report_current();  // current by the time the line shows
  say((terminal_ ? "" : clock_text() + " ") + d.entry.address + "  " + word + " (try " +
      std::to_string(tries) + "): next try at " + when);
  return true;
}

// Ends every device still waiting, as nothing more starts: one not tried
// yet is not-started (with code), one waiting for its next try keeps what
// its last try found.
void Fleet::end_waiting(const std::string& why, Code code) {
  ending_waiting_ = true;
  for (Device& d : devices_) {
    if (d.phase != Device::WAITING) continue;
    if (d.unreached > 0) {
      // Its seconds stay its last try's, not the wait's since.
      d.began = Clock::now() - std::chrono::duration_cast<RolloutClock::duration>(
                                   std::chrono::duration<double>(d.row.seconds));
      finish(d, d.row.result,
             d.row.message + " (" + std::to_string(d.tries) + (d.tries == 1 ? " try" : " tries") +
                 "; not tried again: " + why + ")");
    } else {
      d.row.code = code;
      finish(d, Result::NOT_STARTED, "not started: " + why);
    }
  }
  waiting_.clear();
  ending_waiting_ = false;
  keep_report_current();
}

// When the fleet must look again by itself: a time limit of a running
// upgrade, a retry that may start, the window, the live block's clock.
Clock::time_point Fleet::next_wake(Clock::time_point now) const {
  Clock::time_point wake = Clock::time_point::max();
  auto sooner = [&](Clock::time_point at) { wake = std::min(wake, at); };
  for (const Device& d : devices_)
    if (d.phase == Device::RUNNING && d.process.running())
      sooner(d.timed_out ? d.kill_at : d.deadline);
  if (slots(running()) > 0)
    for (std::size_t index : waiting_) sooner(devices_[index].next_try);
  if (options_.has_window && !window_over_) sooner(std::min(window_change_, now + WINDOW_RECHECK));
  if (end_by_ != Clock::time_point::max()) sooner(end_by_);  // the system ends the fleet then
  if (view_.terminal() && (running() > 0 || !waiting_.empty()))
    sooner(now + (running() > 0 ? std::chrono::milliseconds(200) : std::chrono::seconds(1)));
  return wake;
}

// The live block's line about a window that has not opened yet.
std::string Fleet::window_line(Clock::time_point now) const {
  if (!options_.has_window || may_start_ || window_over_) return "";
  long left = static_cast<long>(
      std::max(0.0, std::ceil(std::chrono::duration<double>(window_change_ - now).count())));
  return "waiting for the window " + window_text(options_.window) + ": it opens in " +
         time_left_text(left);
}

// A device's row as of now: in flight, or waiting for its first try or its
// next one. At an interruption nothing more starts: a device not tried is
// not-started, one waiting for its next try keeps its last try's result.
ReportRow Fleet::row_now(const Device& d, bool interrupted) const {
  ReportRow row = d.row;
  if (d.phase == Device::DONE) return row;
  if (d.phase == Device::RUNNING) {
    std::string step = d.state + (d.percent >= 0 ? " " + std::to_string(d.percent) + "%" : "");
    row.result = Result::RUNNING;
    row.code = Code::NONE;
    row.message = (interrupted ? "running when the fleet was interrupted ("
                               : "in flight when this report was written (") +
                  step + ")";
    row.attempts += 1;  // the try in flight
    return row;
  }
  const std::string tries = std::to_string(d.tries) + (d.tries == 1 ? " try" : " tries");
  if (interrupted) {
    if (d.unreached > 0) {
      row.message += " (" + tries + "; not tried again: the fleet was interrupted)";
    } else {
      row.result = Result::NOT_STARTED;
      row.message = "not started: the fleet was interrupted";
    }
    return row;
  }
  row.result = Result::WAITING;
  if (d.unreached > 0) {
    long left = static_cast<long>(
        std::max(0.0, std::ceil(std::chrono::duration<double>(d.next_try - Clock::now()).count())));
    row.message = "next try at " + clock_text(left) + " after " + tries + ": " + d.row.message;
  } else {
    row.message = may_start_ ? "waiting for its turn"
                             : "waiting for the window " + window_text(options_.window);
  }
  return row;
}

// With --report, the report says what happened so far whenever a device
// ends or waits again (the same whole-file replace as the last one), so a
// fleet killed outright leaves a current report behind.
void Fleet::keep_report_current() {
  if (report_->to_standard_output() || ending_waiting_) return;
  std::vector<ReportRow> rows;
  for (const Device& d : devices_) rows.push_back(row_now(d, false));
  std::string error;
  report_->commit(rows, &error);
  if (error.empty() || report_error_said_) return;
  report_error_said_ = true;  // said once; each device's end tries again
  say("qel-upgrade fleet: " + frontend::shown_utf8(error));
}

int Fleet::run() {
  keep_report_current();
  for (;;) {
    Clock::time_point now = Clock::now();
    follow_window(now);
    for (int free = slots(running()); free > 0 && start_ready(now); --free) {
    }
    if (running() == 0 && (waiting_.empty() || stopping_ || !halted_.empty() || window_over_))
      break;

    // Everything that came, then the clocks and the screen. Nothing else
    // wakes the fleet but the next thing it has to do.
    sys::FleetEvent event;
    Clock::time_point wake = next_wake(now);
    auto wait = wake == Clock::time_point::max() ? std::chrono::milliseconds(std::chrono::hours(1))
                                                 : real_wait(wake - Clock::now());
    for (; events_->wait(&event, wait); wait = std::chrono::milliseconds(0)) on_event(event);
    now = Clock::now();
    for (Device& d : devices_) enforce_time_limit(d, now);
    if (now >= end_by_) stop_unreported();
    redraw();
  }
  end_waiting(stopping_ ? "the fleet was interrupted" : halted_, Code::NONE);
  view_.erase();

  bool reported = write_report();
  int upgraded = 0, skipped = 0, busy = 0, other = 0;
  for (const Device& d : devices_) {
    if (d.entry.line == 0) continue;  // carried from --retry's report, no longer listed
    Result r = d.row.result;
    ++(r == Result::UPGRADED  ? upgraded
       : r == Result::SKIPPED ? skipped
       : r == Result::BUSY    ? busy
                              : other);
  }
  double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  print_err("qel-upgrade fleet: %d upgraded, %d skipped, %d not upgraded%s in %.1f s\n", upgraded,
            skipped, other + busy,
            busy ? (" (" + std::to_string(busy) + " busy: another run upgrades them)").c_str() : "",
            seconds);
  if (stopping_) return EXIT_ABORTED;
  if (other > 0 || !reported) return EXIT_FAILED;
  return busy > 0 ? EXIT_BUSY : EXIT_UPGRADED;
}

// How many UDP ports of the TFTP listener (69..168) could be bound now on
// any address.
int free_tftp_ports() {
  int free = 0;
  for (int port = 69; port <= 168; ++port) {
    NetSocket socket = net_udp_socket();
    if (socket == NET_INVALID_SOCKET) break;
    free += net_bind(socket, 0, static_cast<std::uint16_t>(port)) == 0;
    net_close(socket);
  }
  return free;
}

}  // namespace

int run_fleet(const FleetOptions& options) {
  std::vector<FleetEntry> entries;
  std::vector<std::string> errors;
  read_fleet_list(options.list_file, &entries, &errors);
  // All before any device is touched: the upgrades would be lost work.
  ReportFile report;
  std::string error;
  if (!report.open(options.report_file, &error)) errors.push_back(frontend::shown_utf8(error));
  std::vector<ReportRow> earlier;
  if (!options.retry_report.empty() && !read_report(options.retry_report, &earlier, &error))
    errors.push_back("--retry: " + frontend::shown_utf8(error));
  int log_folder = -1;
  if (!options.log_dir.empty() && (log_folder = sys::open_log_folder(options.log_dir, &error)) < 0)
    errors.push_back(frontend::shown_utf8(error));
  for (const std::string& why : errors) print_err("qel-upgrade fleet: %s\n", why.c_str());
  if (!errors.empty()) return EXIT_USAGE;
  // The port checks below need sockets (Windows starts them on request).
  if (net_startup() != 0) {
    print_err("qel-upgrade fleet: cannot use the network\n");
    return EXIT_FAILED;
  }
  if (std::string refusal = frontend::tftp_bind_refusal(0); !refusal.empty()) {
    print_err("qel-upgrade fleet: %s\n", frontend::plain_text(refusal).c_str());
    return EXIT_NO_PORT;
  }
  // Each upgrade serves from a port of its own: no more at once than are free.
  int parallel = options.parallel;
  int free = free_tftp_ports();
  if (free < parallel) {
    parallel = std::max(1, free);
    print_err(
        "qel-upgrade fleet: only %d of the TFTP ports 69-168 %s free: at most %d "
        "upgrade%s at once\n",
        free, free == 1 ? "is" : "are", parallel, parallel == 1 ? "" : "s");
  }
  // Never destroyed: the thread that forwards interrupts (or the console's
  // handler) may still fill it while the process ends.
  static sys::FleetEvents& events = *new sys::FleetEvents;
  if (!sys::deliver_interrupts(&events, &error)) {
    print_err("qel-upgrade fleet: %s\n", frontend::shown_utf8(error).c_str());
    return EXIT_FAILED;
  }
  return Fleet(options, std::move(entries), earlier, &report, &events, parallel, log_folder).run();
}

}  // namespace admin

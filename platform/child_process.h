// The fleet's upgrades as processes: each a child of this same program whose
// standard output and error reach the fleet as bytes, which the fleet can
// ask to cancel (its Cancel: it still reports) or end outright, and which
// ends with the fleet however the fleet ends. Each system does this in a
// file of its own (posix/child_process.cpp, win32/child_process.cpp); the
// fleet only waits on one queue of events: its children's output and ends,
// and its own interrupts.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sys {

// How a child ended: its exit status, or the signal that ended it (POSIX).
struct ChildExit {
  int code = 0;
  int signal = 0;  // 0: it exited with code
};
// "exit status 1", "killed by signal 9".
std::string child_exit_text(const ChildExit& how);
// It ended by the abort's own request before it could report (POSIX: SIGINT
// arrived before its handlers were in place).
bool ended_by_abort(const ChildExit& how);

struct FleetEvent {
  enum Kind {
    OUTPUT,     // bytes from a child's standard output
    ERRORS,     // bytes from its standard error
    EXITED,     // it ended, after the last of its bytes
    INTERRUPT,  // Ctrl-C at the fleet
    TERMINATE,  // the fleet is asked to end (SIGTERM, SIGHUP, the console closing)
  } kind = OUTPUT;
  std::size_t child = 0;  // the id the child was started with
  std::string bytes;
  ChildExit exit;
  // TERMINATE: the system ends the fleet soon after (Windows: the console
  // closed, the session ends): what is still running after this many
  // milliseconds is stopped, so that the report and the logs are written
  // in time. 0: no such bound.
  unsigned within_ms = 0;
};

// Filled by any thread, emptied by the fleet's; events of one child keep
// their order.
class FleetEvents {
 public:
  void push(FleetEvent event);
  // The oldest event; false when none came within timeout.
  bool wait(FleetEvent* event, std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<FleetEvent> queue_;
};

// From now on the fleet's interrupts arrive in events instead of ending it;
// false with *error when they cannot be caught.
bool deliver_interrupts(FleetEvents* events, std::string* error);

// What a cancel stands for (the child cancels the same way for both; a
// POSIX child is told by SIGINT or SIGTERM, which the fleet tells apart when
// it ended without a word).
enum class CancelReason { ABORT, TIME_LIMIT };

class ChildProcess {
 public:
  ChildProcess();
  ~ChildProcess();  // ends and reaps a child still running
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;

  // Starts program with args (args[0] included) with nothing of the fleet's
  // but its output pipes; its output and end go to events under id. False
  // with *error (safe to show) when it could not be started. One caller
  // thread only.
  bool start(const std::string& program, const std::vector<std::string>& args, std::size_t id,
             FleetEvents* events, std::string* error);
  // Started and not yet reaped.
  bool running() const;
  // Its Cancel: it still reports.
  void cancel(CancelReason reason);
  // Ends it now.
  void kill();
  // After its EXITED event: releases what watched it.
  void reap();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// In an upgrade started by a fleet (--exit-with-parent): calls on_cancel,
// from a thread of its own, each time the fleet asks it to cancel and once
// when the fleet is gone. On POSIX signals carry both (SIGINT/SIGTERM and the
// parent-death signal), so this does nothing there.
void watch_fleet(void (*on_cancel)());

// Tests only (qel-upgrade-testable, POSIX): run in each child right after
// the fork, before its signal handlers are reset (async-signal-safe calls only).
extern void (*fleet_child_test_pause)();

}  // namespace sys

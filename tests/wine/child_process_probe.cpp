// Drives the fleet's Windows child processes (platform/win32/
// child_process.cpp) under Wine, as the fleet does, with this same program
// as the child:
//   probe parent          arguments, cancel, kill, pipes per child, time order
//   probe upgrade EXE ADDRESS   cancels EXE's upgrade of ADDRESS after 4 s
// Prints "FAIL ..." lines and exits 1 on a fault, "PASS ..." lines otherwise.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/child_process.h"

using sys::ChildProcess;
using sys::FleetEvent;
using sys::FleetEvents;
using namespace std::chrono_literals;

namespace {

std::string self() {
  wchar_t path[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  int size =
      ::WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), out.data(), size, nullptr, nullptr);
  return out;
}

void put(HANDLE h, const std::string& text) {
  DWORD written = 0;
  ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The child's arguments as the C runtime's parser gives them, one per line.
int echo_arguments() {
  int count = 0;
  wchar_t** args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::string out;
  for (int i = 2; i < count; ++i) {
    int size = ::WideCharToMultiByte(CP_UTF8, 0, args[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(static_cast<std::size_t>(size > 0 ? size - 1 : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, args[i], -1, arg.data(), size, nullptr, nullptr);
    out += "[" + arg + "]\n";
  }
  put(::GetStdHandle(STD_OUTPUT_HANDLE), out);
  return 0;
}

volatile LONG cancels = 0;

// Cancels as an upgrade started by the fleet takes them: the first is said,
// the second ends it.
int wait_for_cancel() {
  sys::watch_fleet([] {
    LONG n = ::InterlockedIncrement(&cancels);
    put(::GetStdHandle(STD_OUTPUT_HANDLE), "cancel " + std::to_string(n) + "\n");
    if (n >= 2) ::ExitProcess(3);
  });
  put(::GetStdHandle(STD_ERROR_HANDLE), "waiting\n");
  ::Sleep(60000);
  return 9;
}

struct Parent {
  FleetEvents events;
  int failures = 0;

  void check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    failures += !ok;
  }
  // What each child sent so far, and how it ended.
  struct Seen {
    std::string out, err;
    bool ended = false;
    sys::ChildExit how;
  };
  std::vector<Seen> seen = std::vector<Seen>(4);

  // Takes events until done() holds for child id, within 20 s.
  template <class Done>
  bool until(std::size_t id, Done done) {
    auto give_up = std::chrono::steady_clock::now() + 20s;
    FleetEvent e;
    while (!done(seen[id])) {
      if (std::chrono::steady_clock::now() > give_up) return false;
      if (!events.wait(&e, 100ms) || e.child >= seen.size()) continue;
      Seen& s = seen[e.child];
      if (e.kind == FleetEvent::OUTPUT) s.out += e.bytes;
      if (e.kind == FleetEvent::ERRORS) s.err += e.bytes;
      if (e.kind == FleetEvent::EXITED) {
        s.ended = true;
        s.how = e.exit;
      }
    }
    return true;
  }
  bool until_exit(std::size_t id) {
    return until(id, [](const Seen& s) { return s.ended; });
  }

  int run() {
    std::string me = self(), error;
    // Arguments survive the command line exactly (blanks, quotes, trailing
    // and inner backslashes, empty, non-ASCII), as a password file's path must.
    std::vector<std::string> tricky = {"plain",
                                       "two words",
                                       "say \"hi\"",
                                       "C:\\dir\\",
                                       "C:\\dir with blank\\",
                                       "back\\\\\"slash",
                                       "",
                                       "tab\there",
                                       "\\\\server\\share\\p w.txt",
                                       "caf\xc3\xa9"};
    std::vector<std::string> args = {me, "echo"};
    args.insert(args.end(), tricky.begin(), tricky.end());
    std::string expected;
    for (const std::string& a : tricky) expected += "[" + a + "]\n";

    // A child that never ends is running while the others start: none of
    // them may hold its pipes, or their ends would never be seen.
    ChildProcess hang, echo, waiter, failing;
    bool started = hang.start(me, {me, "wait"}, 0, &events, &error);
    check(started, "a child starts " + error);
    started = echo.start(me, args, 1, &events, &error);
    check(started, "a second child starts " + error);
    check(until_exit(1), "a child's end is seen while another child runs");
    echo.reap();
    check(seen[1].out == expected, "arguments arrive unchanged: got\n" + seen[1].out);
    check(seen[1].how.code == 0 && seen[1].how.signal == 0,
          "an exit status: " + sys::child_exit_text(seen[1].how));

    // First cancel: it says so and goes on; the second ends it.
    check(until(0, [](const Seen& s) { return s.err == "waiting\n"; }), "standard error arrives");
    hang.cancel(sys::CancelReason::TIME_LIMIT);
    check(until(0, [](const Seen& s) { return s.out == "cancel 1\n"; }),
          "a cancel reaches the child");
    check(!seen[0].ended, "after one cancel the child still runs");
    hang.cancel(sys::CancelReason::ABORT);
    bool ended = until_exit(0);
    hang.reap();
    check(ended && seen[0].how.code == 3,
          "the second cancel ends it: " + sys::child_exit_text(seen[0].how));

    // The time limit's last step: ended outright, said as the fleet's doing.
    check(waiter.start(me, {me, "wait"}, 2, &events, &error), "a third child starts");
    until(2, [](const Seen& s) { return !s.err.empty(); });
    waiter.kill();
    ended = until_exit(2);
    waiter.reap();
    check(ended && sys::child_exit_text(seen[2].how) == "ended by the fleet",
          "a killed child: " + sys::child_exit_text(seen[2].how));

    // A program that cannot be started is an error, not a child.
    error.clear();
    bool refused = !failing.start(me + ".missing.exe", {"x"}, 3, &events, &error);
    check(refused && !error.empty(), "a missing program is refused: " + error);
    return failures ? 1 : 0;
  }
};

// An upgrade started as the fleet starts it, cancelled once while it waits
// for a device that never answers: it must end by itself and report.
int cancel_upgrade(const char* exe, const char* address) {
  FleetEvents events;
  ChildProcess child;
  std::string error, out, err;
  std::vector<std::string> args = {exe,      "upgrade", address,
                                   "--json", "--yes",   "--exit-with-parent"};
  if (!child.start(exe, args, 0, &events, &error)) {
    std::printf("FAIL the upgrade did not start: %s\n", error.c_str());
    return 1;
  }
  auto now = [] { return std::chrono::steady_clock::now(); };
  auto cancel_at = now() + 4s, give_up = now() + 60s;
  bool cancelled = false;
  FleetEvent e;
  while (now() < give_up) {
    if (!cancelled && now() > cancel_at) {
      child.cancel(sys::CancelReason::TIME_LIMIT);
      cancelled = true;
    }
    if (!events.wait(&e, 100ms)) continue;
    if (e.kind == FleetEvent::OUTPUT) out += e.bytes;
    if (e.kind == FleetEvent::ERRORS) err += e.bytes;
    if (e.kind != FleetEvent::EXITED) continue;
    child.reap();
    std::printf("%s\n%s\n%s\n", sys::child_exit_text(e.exit).c_str(), out.c_str(), err.c_str());
    return cancelled ? 0 : 1;
  }
  std::printf("FAIL the upgrade did not end after its Cancel\n%s\n", err.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "echo") == 0) return echo_arguments();
  if (argc >= 2 && std::strcmp(argv[1], "wait") == 0) return wait_for_cancel();
  if (argc >= 4 && std::strcmp(argv[1], "upgrade") == 0) return cancel_upgrade(argv[2], argv[3]);
  if (argc >= 2 && std::strcmp(argv[1], "parent") == 0) return Parent().run();
  std::fputs("usage: probe parent | upgrade EXE ADDRESS\n", stderr);
  return 2;
}

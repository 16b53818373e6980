// The idle cost: a whole scripted upgrade at real speed against the
// simulated device (CPU while the wizard waits, peak memory), and what the
// waits cost by themselves.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench.h"
#include "frontends/scripted/script.h"
#include "frontends/scripted/scripted_frontend.h"
#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/net.h"
#include "platform/portable/frontend.h"
#include "resources/ids.h"
#include "support/files.h"
#include "support/process.h"
#include "support/sim.h"

namespace bench {

using namespace std::chrono_literals;

namespace {

struct Phase {
  long long begin = 0, end = 0;  // when the driver saw the events (ns)
};

}  // namespace

// ---- idle cost of a whole scripted run ----

int run_idle(const std::string& harness, const std::string& sim, int wait_seconds) {
  simtest::TempDir dir("qel-bench");
  std::unique_ptr<simtest::Sim> device;
  try {
    device = std::make_unique<simtest::Sim>(
        std::vector<std::string>{"--http-port", "80", "--reboot-seconds", "5", "--time-limit",
                                 std::to_string(wait_seconds + 120), "--wrong-name-first",
                                 "/qel0.bi1", "--wrong-name-pause-ms",
                                 std::to_string(wait_seconds * 1000)},
        "127.0.0.2", sim);
  } catch (const std::runtime_error&) {
    fail("the device simulator did not start");
  }

  simtest::write_text(
      dir.file("idle.script"),
      "addresses 127.0.0.1\n"
      "timeout " +
          std::to_string((wait_seconds + 100) * 1000) +
          "\n"
          "answer IDD_WARNING press IDOK\n"
          "answer IDD_ADDRESS_PHONE type IDC_DEVICE_ADDRESS 127.0.0.2 ; press IDOK\n"
          "answer IDD_ADDRESS_ADAPTER type IDC_DEVICE_ADDRESS 127.0.0.2 ; press IDOK\n"
          "answer IDD_CONFIRM_TARGET press IDOK\n"
          "answer IDD_SUCCESS press IDOK\n");
  const std::string transcript = dir.file("transcript.jsonl");
  simtest::Process wizard(
      {harness, "--script", dir.file("idle.script"), "--transcript", transcript},
      {.null_input = true, .output = simtest::Output::discard});

  std::vector<CpuSample> samples;
  Phase waiting, restart_wait;
  long long waiting_passes = 0;
  bool succeeded = false;
  std::size_t consumed = 0;
  long long deadline = now_ns() + (wait_seconds + 120) * 1000000000LL;
  for (;;) {
    CpuSample s;
    if (sample_cpu(wizard.pid(), &s)) samples.push_back(s);
    // New whole lines of the transcript mark the phases.
    std::string text = simtest::read_text(transcript);
    std::size_t end = text.rfind('\n');
    if (end != std::string::npos && end + 1 > consumed) {
      std::istringstream lines(text.substr(consumed, end + 1 - consumed));
      consumed = end + 1;
      std::string line;
      long long at = now_ns();
      while (std::getline(lines, line)) {
        const nlohmann::json e = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
        if (!e.is_object()) continue;
        const std::string event = e.value("event", "");
        const int template_id = e.value("template", 0);
        if (template_id == IDD_WAITING && event == "open" && !waiting.begin) waiting.begin = at;
        if (template_id == IDD_WAITING && event == "close" && !waiting.end) waiting.end = at;
        if (template_id == IDD_WAITING && event == "progress")
          waiting_passes += e.value("count", 0LL);
        // The wait sets the upload dialog's bar to 0..937 ticks.
        if (template_id == IDD_UPLOAD && event == "range" && e.value("high", 0) == 937)
          restart_wait.begin = at;
        if (template_id == IDD_UPLOAD && event == "close") restart_wait.end = at;
        if (template_id == IDD_SUCCESS && event == "open") succeeded = true;
      }
    }
    if (wizard.wait(0ms)) break;
    if (now_ns() > deadline) {
      wizard.finish(0ms);
      fail("the scripted run did not end in time");
    }
    ::usleep(100000);
  }
  device->stop();
  const rusage& usage = wizard.usage();

  // Start-up of each phase (the upgrade request's Connecting dialog, the
  // first redraws) and the moment it ends are left out.
  WindowCost w1 = cost_between(samples, waiting.begin + 2000000000LL, waiting.end - 300000000LL);
  WindowCost w2 =
      cost_between(samples, restart_wait.begin + 1000000000LL, restart_wait.end - 300000000LL);
  double waiting_seconds = (waiting.end - waiting.begin) / 1e9;

  std::printf("\nScripted run at real speed (device's read request %d s late): exit code %d, %s\n",
              wait_seconds, wizard.exit_code(),
              succeeded ? "success dialog shown" : "NO success dialog");
  auto report = [](const char* what, const WindowCost& w) {
    if (!w.valid) {
      std::printf("  %-34s not measured (phase too short or not seen)\n", what);
      return;
    }
    std::printf(
        "  %-34s %5.2f%% of one core over %.1f s (main thread %.2f%%, other threads "
        "%.2f%%) = %.1f ms CPU per second  %s\n",
        what, w.percent, w.seconds, w.main_percent, w.percent - w.main_percent, w.percent * 10,
        w.percent <= 1.0 ? "(goal <= 1%: met)" : "(goal <= 1%: MISSED)");
  };
  report("CPU, waiting dialog:", w1);
  if (waiting_seconds > 0)
    std::printf("  %-34s %lld in %.1f s = %.0f per second\n",
                "  idle passes of the listener:", waiting_passes, waiting_seconds,
                waiting_passes / waiting_seconds);
  report("CPU, 30-second wait after transfer:", w2);
  std::printf("  %-34s %.1f MB (%ld kB)  %s\n",
              "peak RSS of the whole run:", usage.ru_maxrss / 1024.0, usage.ru_maxrss,
              usage.ru_maxrss <= 16L * 1024 ? "(goal <= 16 MB: met)" : "(goal <= 16 MB: MISSED)");
  std::printf("  %-34s user %.2f s, system %.2f s\n",
              "CPU of the whole run:", usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
              usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6);
  return succeeded && w1.valid && w2.valid ? 0 : 1;
}

// ---- what the waits cost by themselves ----

int run_floor(int seconds) {
  NetSocket socket = net_udp_socket();
  if (socket == NET_INVALID_SOCKET || net_bind(socket, LOOPBACK, 0) != 0) fail("no socket");
  net_set_nonblocking(socket);
  char buffer[1024];
  std::printf("\nThe waits alone, without dialogs (%d s each):\n", seconds);

  // The listener's idle pass: receive, and while nothing came and the tick
  // has not, wait for the socket until the tick.
  long long passes = 0;
  long long cpu0 = thread_cpu_ns(), t0 = now_ns();
  std::uint32_t pass_end = clock_tick() + 1;
  while (now_ns() - t0 < seconds * 1000000000LL) {
    std::uint32_t address;
    std::uint16_t port;
    bool nothing = net_recvfrom(socket, buffer, sizeof buffer, &address, &port) <= 0;
    if (!clock_tick_reached(pass_end)) {
      if (nothing) net_wait_readable_until(socket, pass_end);
      continue;
    }
    pass_end = clock_tick() + 1;
    ++passes;
  }
  double wall = (now_ns() - t0) / 1e9;
  double cpu = (thread_cpu_ns() - cpu0) / 1e9;
  std::printf("  %-44s %5.1f passes/s (%.2f ms each), %5.1f us CPU each = %.2f%% of one core\n",
              "receive + wait to the tick (listener pass):", passes / wall, 1000 * wall / passes,
              cpu / passes * 1e6, 100 * cpu / wall);

  passes = 0;
  cpu0 = thread_cpu_ns();
  t0 = now_ns();
  while (now_ns() - t0 < seconds * 1000000000LL) {
    sleep_ms(10);
    ++passes;
  }
  wall = (now_ns() - t0) / 1e9;
  cpu = (thread_cpu_ns() - cpu0) / 1e9;
  std::printf("  %-44s %5.0f passes/s, %5.1f us CPU each = %.2f%% of one core\n",
              "sleep 10 ms (main thread after the request):", passes / wall, cpu / passes * 1e6,
              100 * cpu / wall);
  net_close(socket);

  // One step of the waiting dialog's animation as the listener makes it, on
  // a shown dialog, through the dialog layer and the scripted front-end
  // (transcript to /dev/null), without any wait.
  std::FILE* transcript = std::fopen("/dev/null", "w");
  scripted::Script script;
  std::string error;
  scripted::parse_script("", ".", &script, &error);
  auto* frontend = new scripted::ScriptedFrontend(std::move(script), transcript, nullptr);
  frontend_install(frontend);
  DialogProc proc = [](DialogHandle, unsigned, std::uintptr_t, std::intptr_t) -> std::intptr_t {
    return 0;
  };
  DialogHandle dialog = dialog_create(nullptr, IDD_WAITING, proc);
  dialog_show(dialog);
  dialog_progress_range(dialog, IDC_PROGRESS, 0, 1000);
  const int steps = 2000000;
  int animation = 0;
  cpu0 = thread_cpu_ns();
  for (int i = 0; i < steps; ++i) {
    if (++animation == 1000) animation = 0;
    dialog_progress_pos(dialog, IDC_PROGRESS, animation);
    dialog_pump_all(dialog);
  }
  double step_us = (thread_cpu_ns() - cpu0) / 1e3 / steps;
  std::printf("  %-44s %5.2f us CPU each = %.2f%% of one core at 1000 steps/s\n",
              "animation step (dialog layer + front-end):", step_us, step_us / 10);
  return 0;
}

}  // namespace bench

// ---- what a waiting fleet costs ----

namespace bench {

namespace {

struct FleetWait {
  WindowCost cost;       // while it waits
  double before_ms = 0;  // what it used until then: its start, its first try
};

// CPU of the fleet process alone over `seconds`, once `ready` says it waits.
FleetWait fleet_wait_cost(const std::vector<std::string>& argv, int seconds,
                          const std::function<bool()>& ready) {
  simtest::Process fleet(
      argv, {.null_input = true, .output = simtest::Output::discard, .discard_errors = true});
  long long give_up = now_ns() + 60 * 1000000000LL;
  while (!ready()) {
    if (fleet.wait(0ms)) fail("the fleet ended instead of waiting");
    if (now_ns() > give_up) fail("the fleet did not start to wait");
    ::usleep(50000);
  }
  ::sleep(1);  // what its start left behind is done
  std::vector<CpuSample> samples;
  long long from = now_ns(), to = from + seconds * 1000000000LL;
  for (;;) {
    CpuSample s;
    if (sample_cpu(fleet.pid(), &s)) samples.push_back(s);
    if (s.at >= to || fleet.wait(0ms)) break;
    ::usleep(250000);
  }
  if (fleet.ended()) fail("the fleet ended while it should have waited");
  fleet.stop();
  FleetWait wait;
  wait.cost = cost_between(samples, from, to);
  if (!samples.empty()) wait.before_ms = static_cast<double>(samples.front().process) / 1e6;
  return wait;
}

void say(const char* what, const FleetWait& wait) {
  const WindowCost& cost = wait.cost;
  if (!cost.valid) {
    std::printf("  %-44s not measured\n", what);
    return;
  }
  std::printf(
      "  %-44s %.4f%% of one core (%.2f ms CPU in %.0f s, %.1f ms before; goal < 0.1%%: %s)\n",
      what, cost.percent, cost.percent * cost.seconds * 10, cost.seconds, wait.before_ms,
      cost.percent < 0.1 ? "met" : "NOT met");
}

}  // namespace

int run_fleet_wait(const std::string& upgrade, int seconds) {
  simtest::TempDir dir("qel-bench");
  // Nobody at 127.0.0.2: each try of it is refused at once (unreachable).
  simtest::write_text(dir.file("list.txt"), "127.0.0.2\n");
  std::printf("\nA waiting fleet (qel-upgrade fleet, no terminal), CPU of the fleet process:\n");
  // A window that opens two hours from now.
  std::time_t opens = std::time(nullptr) + 2L * 3600;
  std::tm local{};
  ::localtime_r(&opens, &local);
  char window[16];
  std::strftime(window, sizeof window, "%H:%M-", &local);
  opens += 3600;
  ::localtime_r(&opens, &local);
  std::strftime(window + 6, sizeof window - 6, "%H:%M", &local);
  const std::string early = dir.file("early.csv");
  say("before its --window opens (in 2 h):",
      fleet_wait_cost(
          {upgrade, "fleet", dir.file("list.txt"), "--window", window, "--report", early}, seconds,
          [&] { return simtest::read_text(early).find(",waiting,") != std::string::npos; }));
  // The first retry comes 24 to 36 s after the first try.
  const std::string retry = dir.file("retry.csv");
  say("between a device's tries (--keep-trying):",
      fleet_wait_cost(
          {upgrade, "fleet", dir.file("list.txt"), "--keep-trying", "8h", "--report", retry},
          std::min(seconds, 20), [&] {
            return simtest::read_text(retry).find(",waiting,next try at") != std::string::npos;
          }));
  return 0;
}

}  // namespace bench

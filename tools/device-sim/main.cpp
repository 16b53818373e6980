// qel-device-sim: a stand-in QEL device for the upgrade wizard's tests.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>

#include "config.h"
#include "device.h"
#include "event_log.h"
#include "http_server.h"
#include "net.h"
#include "verdict.h"

namespace {

std::atomic<bool> g_stop{false};
const sim::Waker* g_waker = nullptr;

void on_signal(int) {
  g_stop = true;
  if (g_waker) g_waker->notify();
}

std::vector<unsigned char> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::invalid_argument("cannot read reference " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int run(const sim::Config& cfg, std::vector<std::vector<unsigned char>> references) {
  sim::EventLog log(cfg.log_path);
  sim::Waker waker;
  g_waker = &waker;
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  sim::Device device(cfg, log, waker, g_stop, std::move(references));
  sim::HttpServer server(cfg, device, log, g_stop, waker);
  uint16_t port = server.start();
  log.write("START http=" + cfg.address + ":" + std::to_string(port));
  if (!cfg.port_file.empty())
    sim::write_file_atomically(cfg.port_file, "http=" + std::to_string(port) + "\n");

  device.start();
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(cfg.time_limit_seconds));
  server.run(deadline);
  log.write(g_stop ? "STOP signal" : "STOP time-limit");
  g_stop = true;
  server.join_connections();
  device.join();
  g_waker = nullptr;

  if (!cfg.verdict_path.empty())
    sim::write_file_atomically(cfg.verdict_path, sim::to_json(device.summary()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  sim::Config cfg;
  std::vector<std::vector<unsigned char>> references;
  try {
    if (std::optional<int> exit_code = sim::parse_command_line(argc, argv, cfg)) return *exit_code;
    auto addr = sim::parse_ipv4(cfg.address);
    if (!addr) throw std::invalid_argument("--address: not an IPv4 address: " + cfg.address);
    if (!sim::is_loopback(*addr) && !cfg.allow_any_address)
      throw std::invalid_argument("refusing non-loopback address " + cfg.address +
                                  " (--allow-any-address is for private network namespaces only)");
    for (const std::string& path : cfg.references) references.push_back(read_file(path));
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "qel-device-sim: %s\n", e.what());
    return 2;
  }
  try {
    return run(cfg, std::move(references));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qel-device-sim: %s\n", e.what());
    return 1;
  }
}

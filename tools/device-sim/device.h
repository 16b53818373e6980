// The device's state: identity, firmware version, the upgrade queue and the
// reflash cycle that takes the web server offline.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "digest.h"
#include "event_log.h"
#include "net.h"
#include "tftp_client.h"
#include "verdict.h"

namespace sim {

struct UpgradeTarget {
  sockaddr_in server;
  std::string file;  // with its leading "/"
};

struct PageState {
  std::string software_version;
  bool show_software_version = true;
};

class Device {
 public:
  Device(const Config& cfg, EventLog& log, const Waker& waker, const std::atomic<bool>& stop,
         std::vector<std::vector<unsigned char>> references);
  ~Device();

  // Starts the worker, which first waits out --up-after-seconds (counted from
  // construction) with the device off.
  void start();
  void join();  // once `stop` is set

  DigestGuard& guard() { return guard_; }
  PageState page() const;
  void request_upgrade(const UpgradeTarget& target);

  // The web server follows online() and confirms each state it has put in place,
  // so that "REBOOT done" is logged only once connections are accepted again.
  bool online() const;
  void online_applied(bool state);

  Summary summary() const;

 private:
  void worker();
  void power_on();
  void upgrade(const UpgradeTarget& target);
  void reflash(const std::string& version);
  void go_online(bool state);
  void sleep_seconds(double seconds);

  const Config& cfg_;
  EventLog& log_;
  const Waker& waker_;
  const std::atomic<bool>& stop_;
  const std::vector<std::vector<unsigned char>> references_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  DigestGuard guard_;
  TftpClient tftp_;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<UpgradeTarget> queue_;
  bool online_ = true;
  bool applied_ = true;
  bool rebooted_ = false;
  std::string version_;
  unsigned upgrade_requests_ = 0;
  unsigned reboots_ = 0;
  std::vector<TransferRecord> transfers_;
  std::thread thread_;
};

}  // namespace sim

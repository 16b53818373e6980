#include "device.h"

#include <chrono>
#include <sstream>

namespace sim {

using namespace std::chrono_literals;

Device::Device(const Config& cfg, EventLog& log, const Waker& waker, const std::atomic<bool>& stop,
               std::vector<std::vector<unsigned char>> references)
    : cfg_(cfg),
      log_(log),
      waker_(waker),
      stop_(stop),
      references_(std::move(references)),
      guard_(cfg),
      tftp_(cfg, log, stop),
      online_(!(cfg.up_after_seconds > 0)),
      applied_(online_),
      version_(cfg.software) {}

Device::~Device() { join(); }

void Device::start() {
  thread_ = std::thread([this] { worker(); });
}

void Device::join() {
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

PageState Device::page() const {
  std::lock_guard lock(mutex_);
  return {version_, !(rebooted_ && cfg_.omit_version_after_reboot)};
}

void Device::request_upgrade(const UpgradeTarget& target) {
  {
    std::lock_guard lock(mutex_);
    ++upgrade_requests_;
    queue_.push_back(target);
  }
  cv_.notify_all();
}

bool Device::online() const {
  std::lock_guard lock(mutex_);
  return online_;
}

void Device::online_applied(bool state) {
  std::lock_guard lock(mutex_);
  if (applied_ == state) return;
  applied_ = state;
  cv_.notify_all();
}

Summary Device::summary() const {
  std::lock_guard lock(mutex_);
  Summary s;
  s.upgrade_requests = upgrade_requests_;
  s.reboots = reboots_;
  s.transfers = transfers_;
  s.reported_version = version_;
  if (!references_.empty()) {
    bool all = transfers_.size() == references_.size();
    for (const TransferRecord& t : transfers_) all = all && t.identical.value_or(false);
    s.reference_match = all;
  }
  return s;
}

void Device::worker() {
  if (!online()) power_on();
  for (;;) {
    UpgradeTarget target;
    {
      std::unique_lock lock(mutex_);
      // Timed waits: `stop` is also set from a signal handler, which cannot notify.
      while (!cv_.wait_for(lock, 100ms, [this] { return stop_ || !queue_.empty(); })) {
      }
      if (stop_) return;
      target = queue_.front();
      queue_.pop_front();
    }
    upgrade(target);
  }
}

// A device switched on late: nothing answers until it is up, and the line
// comes once connections are accepted.
void Device::power_on() {
  auto up = started_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(cfg_.up_after_seconds));
  while (!stop_ && std::chrono::steady_clock::now() < up) std::this_thread::sleep_for(5ms);
  if (stop_) return;
  go_online(true);
  std::ostringstream after;
  after << cfg_.up_after_seconds;
  log_.write("UP after=" + after.str());
}

void Device::upgrade(const UpgradeTarget& target) {
  TransferRecord rec;
  rec.result = tftp_.fetch(target.server, target.file);
  const std::vector<unsigned char>& image = rec.result.data;
  rec.header = inspect_header(image);
  rec.sha256 = sha256_hex(image);
  {
    std::lock_guard lock(mutex_);
    if (transfers_.size() < references_.size())
      rec.identical = image == references_[transfers_.size()];
    transfers_.push_back(rec);
  }
  if (!rec.result.complete) {
    log_.write("UPGRADE failed reason=" + rec.result.error);
  } else if (!rec.header.ok) {
    log_.write("UPGRADE rejected reason=" + rec.header.problem);
  } else {
    reflash(cfg_.report_version.empty() ? rec.header.version : cfg_.report_version);
  }
}

void Device::reflash(const std::string& version) {
  log_.write("REBOOT start");
  {
    std::lock_guard lock(mutex_);
    ++reboots_;
  }
  go_online(false);
  sleep_seconds(cfg_.reboot_seconds);
  if (stop_) return;
  if (cfg_.never_return) {
    log_.write("REBOOT never-return");
    return;
  }
  guard_.reboot();
  {
    std::lock_guard lock(mutex_);
    version_ = version;
    rebooted_ = true;
  }
  go_online(true);
  log_.write("REBOOT done version=" + version);
}

void Device::go_online(bool state) {
  std::unique_lock lock(mutex_);
  online_ = state;
  waker_.notify();
  while (!cv_.wait_for(lock, 100ms, [&] { return stop_ || applied_ == state; })) {
  }
}

void Device::sleep_seconds(double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!stop_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
}

}  // namespace sim

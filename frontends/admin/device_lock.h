// One run at a time per device on this PC: two upgrades of one device at
// once would flash it twice, each transfer cut by the other's. A run holds
// its device's lock from before it contacts the device until it ends; the
// system releases it however the run ends, so a run that died is never in
// the way. The Linux side is posix/device_lock.cpp (abstract Unix sockets),
// the Windows side win32/device_lock.cpp (a named mutex).
#pragma once
#include <cstdint>
#include <string>

namespace admin {

// Who holds a device's lock, as the system says (texts safe to show).
struct LockHolder {
  long pid = 0;         // 0 when unknown
  std::string user;     // the name, or the number
  std::string command;  // its command line, "" when it cannot be read
};
// "pid 123, user root: qel-upgrade fleet list.txt"
std::string holder_text(const LockHolder& holder);

class DeviceLock {
 public:
  enum State {
    HELD,  // this process holds it until the lock is destroyed or the process ends
    BUSY,  // another run that may upgrade devices holds it: *holder
    // Only processes that could not be upgrading a device (their user may
    // not serve firmware) sit where the lock would be: *holder names one.
    // They are not let in the way; the run goes on unguarded.
    UNGUARDED,
  };
  DeviceLock() = default;
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;
  ~DeviceLock();

  // device: its IPv4 address, host order.
  State take(std::uint32_t device, LockHolder* holder);

 private:
  std::intptr_t handle_ = -1;  // a descriptor, or a Windows handle
};

}  // namespace admin

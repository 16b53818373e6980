// One run at a time per device on this PC: two upgrades of one device at
// once would flash it twice, each transfer cut by the other's. A run holds
// its device's lock from before it contacts the device until it ends; the
// system releases it however the run ends, so a run that died is never in
// the way.
//
// The lock lives where only those who may upgrade devices can write: a lock
// file per device in a folder of the system's (POSIX: posix/device_lock.cpp;
// Windows: win32/device_lock.cpp), so another user can neither take, fill
// nor fake it. A run that cannot hold its lock never contacts the device.
#pragma once
#include <cstdint>
#include <string>

namespace sys {

// Who holds a device's lock, as the system tells (texts raw: callers make
// them safe to show).
struct LockHolder {
  long pid = 0;           // 0 when unknown
  std::string user;       // the name, or the number; "" when unknown
  std::string command;    // its command line as the holder shows it; "" when unknown
  bool same_user = true;  // the holder runs as this process's user
};
// "pid 123, user root: qel-upgrade fleet list.txt"; another user's command
// is shown as what it claims to be.
std::string holder_text(const LockHolder& holder);

class DeviceLock {
 public:
  enum State {
    HELD,    // this process holds it until the lock is destroyed or the process ends
    BUSY,    // another run holds it: *holder
    FAILED,  // it could not be taken: *error says why
  };
  DeviceLock() = default;
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;
  ~DeviceLock();

  // device: its IPv4 address, host order.
  State take(std::uint32_t device, LockHolder* holder, std::string* error);
  // What a held lock guards less than every run on the PC ("" when it
  // guards them all): said once to the user.
  const std::string& note() const { return note_; }

 private:
  std::intptr_t handle_ = -1;  // a descriptor, or a Windows handle
  std::string note_;
};

// The system's lock folder, as the package makes it.
const char* device_lock_folder();

}  // namespace sys

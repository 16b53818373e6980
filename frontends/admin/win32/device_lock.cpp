// The device lock on Windows (device_lock.h; the Linux side is
// posix/device_lock.cpp): a named mutex per device address in the global
// namespace, so runs in every session of the PC see each other. The name
// exists while any process holds a handle to it, and the system closes the
// handles of a process however it ends, so a run that died holds nothing.
// Creating a global name takes a privilege that ordinary users lack, so
// another user cannot sit on a device's name beforehand; one that exists
// but may not be opened belongs to another user's run.
#include <windows.h>

#include "frontends/admin/address.h"
#include "frontends/admin/device_lock.h"

namespace admin {

DeviceLock::~DeviceLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

DeviceLock::State DeviceLock::take(std::uint32_t device, LockHolder* holder) {
  std::string name = "Global\\qel-upgrade-" + dotted(device);
  SetLastError(ERROR_SUCCESS);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  DWORD error = GetLastError();
  if (mutex != nullptr && error != ERROR_ALREADY_EXISTS) {
    handle_ = reinterpret_cast<std::intptr_t>(mutex);
    return HELD;
  }
  if (mutex != nullptr) {
    // Another run holds the name; who it is the name does not tell.
    CloseHandle(mutex);
    *holder = LockHolder{};
    return BUSY;
  }
  if (error == ERROR_ACCESS_DENIED) {
    *holder = LockHolder{0, "another user", ""};
    return BUSY;
  }
  // No global name could be made at all (no privilege to create one, say):
  // the run goes on, and says so.
  *holder = LockHolder{0, "", "the name " + name + " could not be made"};
  return UNGUARDED;
}

}  // namespace admin

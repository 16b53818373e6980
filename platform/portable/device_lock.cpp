// What both sides of the device lock share (posix/device_lock.cpp,
// win32/device_lock.cpp).
#include "platform/device_lock.h"

namespace sys {

std::string holder_text(const LockHolder& holder) {
  std::string text = holder.pid > 0 ? "pid " + std::to_string(holder.pid) : "an unknown process";
  if (!holder.user.empty()) text += ", user " + holder.user;
  if (!holder.command.empty())
    text +=
        holder.same_user ? ": " + holder.command : ", whose command line says: " + holder.command;
  return text;
}

}  // namespace sys

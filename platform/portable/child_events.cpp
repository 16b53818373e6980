// The fleet's one queue (child_process.h): the same on every system.
#include <utility>

#include "platform/child_process.h"

namespace sys {

void FleetEvents::push(FleetEvent event) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    queue_.push_back(std::move(event));
  }
  ready_.notify_one();
}

bool FleetEvents::wait(FleetEvent* event, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (!ready_.wait_for(hold, timeout, [this] { return !queue_.empty(); })) return false;
  *event = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

}  // namespace sys

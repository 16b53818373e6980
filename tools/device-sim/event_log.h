// One-event-per-line log of what the device received and did.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace sim {

class EventLog {
 public:
  explicit EventLog(const std::string& path);  // empty path: logging off
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Control characters are escaped so that one call is always one line;
  // the line is flushed at once because tests read the file while we run.
  void write(const std::string& line);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

}  // namespace sim

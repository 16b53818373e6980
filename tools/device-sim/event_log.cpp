#include "event_log.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {

EventLog::EventLog(const std::string& path) {
  if (path.empty()) return;
  file_ = std::fopen(path.c_str(), "w");
  if (!file_) throw std::runtime_error("cannot open log " + path + ": " + std::strerror(errno));
}

EventLog::~EventLog() {
  if (file_) std::fclose(file_);
}

void EventLog::write(const std::string& line) {
  if (!file_) return;
  std::string clean;
  clean.reserve(line.size() + 1);
  for (unsigned char c : line) {
    if (c < 0x20 || c == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      clean += esc;
    } else {
      clean += char(c);
    }
  }
  clean += '\n';
  std::lock_guard lock(mutex_);
  std::fwrite(clean.data(), 1, clean.size(), file_);
  std::fflush(file_);
}

}  // namespace sim

#include "admin/upgrade/progress.h"

#include <cstdio>

#include "admin/output.h"
#include "platform/console.h"

namespace admin {

namespace {

constexpr int BAR_WIDTH = 24;
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);

}  // namespace

Progress::Progress(bool terminal) : terminal_(terminal) {}

void Progress::update(const std::string& state, const std::string& text, int percent, bool force) {
  std::lock_guard lock(lock_);
  bool new_step = state != state_;
  if (new_step) decile_ = -1;
  state_ = state;
  text_ = text;
  percent_ = percent;
  if (terminal_) {
    draw_locked(new_step || force);
    return;
  }
  int decile = percent < 0 ? -1 : percent / 10;
  if (!new_step && !force && decile <= decile_) return;
  decile_ = decile;
  if (percent < 0)
    print_err("[%s] %s\n", state.c_str(), text.c_str());
  else
    print_err("[%s %d%%] %s\n", state.c_str(), percent, text.c_str());
}

void Progress::print(const std::string& text) {
  std::lock_guard lock(lock_);
  clear_locked();
  print_err("%s\n", text.c_str());
  if (terminal_ && !state_.empty()) draw_locked(true);
}

void Progress::clear() {
  std::lock_guard lock(lock_);
  clear_locked();
  state_.clear();
}

void Progress::clear_locked() {
  if (!terminal_ || !shown_) return;
  sys::write_text(sys::Stream::Error, "\r\033[K");
  shown_ = false;
}

void Progress::draw_locked(bool force) {
  auto now = std::chrono::steady_clock::now();
  if (!force && shown_ && now - drawn_ < REDRAW_INTERVAL) return;
  drawn_ = now;
  std::string line;
  if (percent_ >= 0) {
    int filled = percent_ * BAR_WIDTH / 100;
    line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(BAR_WIDTH - filled), '.') + "] ";
    char number[8];
    std::snprintf(number, sizeof number, "%3d%% ", percent_);
    line += number;
  }
  line += text_;
  std::size_t columns = static_cast<std::size_t>(sys::terminal_columns() - 1);
  if (line.size() > columns) line.resize(columns);
  print_err("\r\033[K%s", line.c_str());
  shown_ = true;
}

bool parse_step_line(const std::string& line, std::string* state, int* percent, std::string* text) {
  if (line.size() < 3 || line[0] != '[') return false;
  std::size_t close = line.find("] ");
  if (close == std::string::npos) return false;
  std::string inside = line.substr(1, close - 1);
  *text = line.substr(close + 2);
  std::size_t blank = inside.find(' ');
  *percent = -1;
  if (blank != std::string::npos) {
    std::string number = inside.substr(blank + 1);
    if (number.size() < 2 || number.back() != '%' ||
        number.find_first_not_of("0123456789") != number.size() - 1)
      return false;
    *percent = std::stoi(number.substr(0, number.size() - 1));
    inside.resize(blank);
  }
  if (inside.empty() ||
      inside.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") != std::string::npos)
    return false;
  *state = inside;
  return true;
}

}  // namespace admin

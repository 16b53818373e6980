#include "frontends/admin/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace admin {

namespace {

constexpr int BAR_WIDTH = 24;
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);

int terminal_columns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) return size.ws_col;
  return 80;
}

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
    std::fprintf(stderr, "[%s] %s\n", state.c_str(), text.c_str());
  else
    std::fprintf(stderr, "[%s %d%%] %s\n", state.c_str(), percent, text.c_str());
  std::fflush(stderr);
}

void Progress::print(const std::string& text) {
  std::lock_guard lock(lock_);
  clear_locked();
  std::fprintf(stderr, "%s\n", text.c_str());
  if (terminal_ && !state_.empty()) draw_locked(true);
  std::fflush(stderr);
}

void Progress::clear() {
  std::lock_guard lock(lock_);
  clear_locked();
  state_.clear();
  std::fflush(stderr);
}

void Progress::clear_locked() {
  if (!terminal_ || !shown_) return;
  std::fputs("\r\033[K", stderr);
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
  std::size_t columns = static_cast<std::size_t>(terminal_columns() - 1);
  if (line.size() > columns) line.resize(columns);
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
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

// Progress of one upgrade on standard error: on a terminal one line redrawn
// in place (a bar when there is a percentage); otherwise one line per step,
//   [STATE] TEXT   or   [STATE PERCENT%] TEXT
// with the percentage repeated every 10 %. `fleet` reads these lines from
// its children, so the form is kept stable (parse_step_line).
#pragma once
#include <chrono>
#include <mutex>
#include <string>

namespace admin {

class Progress {
 public:
  explicit Progress(bool terminal);

  // The current step and its text; percent < 0 when there is none. Without
  // a terminal a step's line is repeated every 10 %, or when forced.
  void update(const std::string& state, const std::string& text, int percent, bool force = false);
  // Text printed whole, above the redrawn line (messages, dialog contents).
  void print(const std::string& text);
  // Takes the redrawn line away (before a prompt, at the end).
  void clear();
  // Whether steps are redrawn in place (else each is a line of its own).
  bool terminal() const { return terminal_; }

 private:
  void draw_locked(bool force);
  void clear_locked();

  std::mutex lock_;
  const bool terminal_;
  std::string state_, text_;
  int percent_ = -1;
  int decile_ = -1;
  bool shown_ = false;
  std::chrono::steady_clock::time_point drawn_{};
};

// Reads a step line as written above; false for any other line.
bool parse_step_line(const std::string& line, std::string* state, int* percent, std::string* text);

}  // namespace admin

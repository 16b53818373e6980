// The fleet's log folder (--log-dir) and its files. Another local user may
// have prepared either (links, FIFOs, files of theirs, a folder of theirs),
// so the folder must be this user's and closed to others' writing, as ssh
// wants its files, and each log is opened in it by name only and used only
// when it is a plain file of this user's.
#pragma once
#include <string>

namespace admin {

// Opens the folder, made 0700 when missing; -1 with *error (safe to show)
// when it cannot be opened, is no folder, belongs to another user (root's
// is fine) or others may write to it.
int open_log_folder(const std::string& path, std::string* error);

// Opens NAME in the folder for appending (made 0600), without following a
// link and without waiting on a FIFO; -1 with *error unless it is a regular
// file of this user with no other name.
int open_log(int folder, const std::string& name, std::string* error);

// One device's log in the folder; lines go nowhere while it is not open.
struct DeviceLog {
  int fd = -1;
  bool tried = false;  // opened once only, so that a refusal is said once
  // Opens DIR/ADDRESS.log on the first call: true with *path; false with
  // *error (safe to show) when it cannot be used, or when already tried.
  bool open(int folder, const std::string& dir, const std::string& address, std::string* path,
            std::string* error);
  void line(const std::string& text) const;
  void close();
};

}  // namespace admin

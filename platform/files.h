// The command line's files: a fleet's list and report, its log folder and
// logs. Each system in a file of its own (posix/files.cpp,
// win32/files.cpp). Descriptors are the C runtime's on both. Errors are the
// system's words and may hold the path as given: callers make them safe to
// show.
#pragma once
#include <ctime>
#include <string>

namespace sys {

// Writes all of text; false on an error.
bool write_all(int fd, const std::string& text);
void close_file(int fd);

// A file's whole content; false with *error (the system's reason).
bool read_whole_file(const std::string& path, std::string* text, std::string* error);
// A new file beside path (".NAME.XXXXXX"), made here and now and by no one
// else, with the permissions a new file of this user's gets; its name in
// *name; -1 with *error (the system's reason).
int make_file_beside(const std::string& path, std::string* name, std::string* error);
// Puts the file's bytes on the disk and closes it; false with *error.
bool sync_and_close(int fd, std::string* error);
// Puts from in place of to in one step; false with *error.
bool replace_file(const std::string& from, const std::string& to, std::string* error);
void remove_file(const std::string& name);
// Puts from at to only when no file is there; false with *error (EEXIST,
// ERROR_ALREADY_EXISTS) otherwise.
bool move_to_new(const std::string& from, const std::string& to, std::string* error);
// Whether an existing file could be replaced now (Windows: no other program
// holds it open without letting it be deleted, as Excel holds a CSV it
// shows); true when it does not exist. False with *error.
bool can_replace(const std::string& path, std::string* error);

// A path written in a file (a fleet list's password file): as it is when
// absolute, else relative to that file's folder. Windows takes both slashes
// and drive letters.
std::string path_beside(const std::string& file, const std::string& written);
// NAME in FOLDER, with the system's separator ("logs/x.log", "C:\\logs\\x.log").
std::string path_in(const std::string& folder, const std::string& name);

// The log folder. Another local user may have prepared it or its files
// (links, FIFOs, files of theirs, a folder of theirs), so the folder must be
// this user's and closed to others' writing, as ssh wants its files, and
// each log is opened in it by name only and used only when it is a plain
// file of this user's.
// Opens the folder, made private when missing; -1 with *error when it
// cannot be opened, is no folder, belongs to another user (root's is fine)
// or others may write to it.
int open_log_folder(const std::string& path, std::string* error);
// Opens NAME in the folder for appending (made private), without following
// a link and without waiting on a FIFO; -1 with *error unless it is a
// regular file of this user with no other name.
int open_log(int folder, const std::string& name, std::string* error);

std::tm local_time(std::time_t when);

}  // namespace sys

// What the fleet's files and screen need from the system, each system in a
// file of its own (posix/fleet_files.cpp, win32/fleet_files.cpp); the log
// folder's checks are there too (fleet_log.h). Descriptors are the C
// runtime's on both.
#pragma once
#include <ctime>
#include <string>

namespace admin {

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

// The rows of standard error's terminal (0 when unknown), its columns in
// *columns (0 when unknown).
int terminal_rows(int* columns);
std::tm local_time(std::time_t when);

}  // namespace admin

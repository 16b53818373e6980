// Passwords in memory and in files, for the command line. Each system in a
// file of its own (posix/secret.cpp, win32/secret.cpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace sys {

// Wipes a buffer that held a password, in a way the compiler keeps.
void wipe(std::string* text);
void wipe_bytes(void* bytes, std::size_t size);
// Once the process holds a password: no core file, no debugging by the same
// user where the system allows it.
void make_undumpable();

// Where a password file's bytes come from: the file, or standard input for
// "-". open refuses (false, *error saying what was checked) a terminal (it
// would echo what is typed) and a file that others may read or change.
class SecretSource {
 public:
  SecretSource() = default;
  SecretSource(const SecretSource&) = delete;
  SecretSource& operator=(const SecretSource&) = delete;
  ~SecretSource();
  bool open(const std::string& path, std::string* error);
  // 1 with *c, 0 at the end, -1 on an error (*error says which).
  int read_byte(char* c, std::string* error);

 private:
  std::intptr_t handle_ = -1;
  bool standard_input_ = false;
};

}  // namespace sys

// Holds an event of the name given (a name in the object namespace that any
// process may take first) until it is ended; prints "held" once it exists.
//   name_holder.exe NAME
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, argv[1]);
  if (!event) {
    std::printf("cannot make it: error %lu\n", ::GetLastError());
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  ::Sleep(INFINITE);
  return 0;
}

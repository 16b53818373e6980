// Holds a file open as Excel holds a CSV it shows: shared for reading only,
// so that nobody may replace or delete it, until its standard input ends.
//   hold_file_probe PATH       prints "held" once the file is open
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("cannot open: %lu\n", GetLastError());
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  char byte;
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) && got == 1) {
  }
  CloseHandle(file);
  return 0;
}

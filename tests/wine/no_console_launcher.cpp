// Starts a program as a scheduled task may run it: with no console at all
// (DETACHED_PROCESS), its standard handles on files or on nothing, and waits
// for it. For the Wine test of the console program (tests/wine/rollout_test.sh).
//   no_console_launcher --files IN OUT ERR PROGRAM [ARGS...]
//       standard input from IN (NUL for the null device), output and error
//       appended to OUT and ERR
//   no_console_launcher --none PROGRAM [ARGS...]
//       no standard handles at all
// Exits with the program's exit code; 120 when it could not be started.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

// One argument as the C runtime's parser reads it back.
std::wstring quoted(const std::wstring& word) {
  if (!word.empty() && word.find_first_of(L" \t\"") == std::wstring::npos) return word;
  std::wstring out = L"\"";
  std::size_t slashes = 0;
  for (wchar_t c : word) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, L'\\');
  return out + L"\"";
}

HANDLE inheritable(const wchar_t* path, bool output) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(path, output ? FILE_APPEND_DATA : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     output ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  bool files = count >= 6 && std::wstring(argv[1]) == L"--files";
  bool none = count >= 3 && std::wstring(argv[1]) == L"--none";
  if (!files && !none) {
    std::fputs(
        "usage: no_console_launcher --files IN OUT ERR PROGRAM [ARGS...]\n"
        "       no_console_launcher --none PROGRAM [ARGS...]\n",
        stderr);
    return 2;
  }
  int first = files ? 5 : 2;
  std::wstring command;
  for (int i = first; i < count; ++i) command += (i > first ? L" " : L"") + quoted(argv[i]);

  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  if (files) {
    start.hStdInput = inheritable(argv[2], false);
    start.hStdOutput = inheritable(argv[3], true);
    start.hStdError = inheritable(argv[4], true);
    if (start.hStdInput == INVALID_HANDLE_VALUE || start.hStdOutput == INVALID_HANDLE_VALUE ||
        start.hStdError == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "no_console_launcher: cannot open the files (error %lu)\n",
                   GetLastError());
      return 120;
    }
  }  // else all three stay null: the program has none
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, files ? TRUE : FALSE,
                      DETACHED_PROCESS, nullptr, nullptr, &start, &process)) {
    std::fprintf(stderr, "no_console_launcher: cannot start the program (error %lu)\n",
                 GetLastError());
    return 120;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 120;
  GetExitCodeProcess(process.hProcess, &code);
  return static_cast<int>(code);
}

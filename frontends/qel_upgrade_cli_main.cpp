// qel-upgrade-cli.exe, the Windows console program: the administrators'
// subcommands scan and upgrade, the same code as Linux's qel-upgrade scan|upgrade.
#include <windows.h>
#include <mmsystem.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "frontends/admin/admin.h"

int main() {
  // The arguments as UTF-8, whatever the code page: the C runtime's argv is
  // in the ANSI code page and loses what it cannot show.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> words;
  for (int i = 0; wide && i < count; ++i) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string word(n > 0 ? static_cast<std::size_t>(n) : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, word.data(), n, nullptr, nullptr);
    word.resize(word.size() - 1);
    words.push_back(word);
  }
  LocalFree(wide);
  // What an installer or an administrator checks first.
  if (words.size() == 2 && words[1] == "--version") {
    std::string line = std::string("qel-upgrade-cli ") + QEL_VERSION + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
    return 0;
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // As the wizard's entry point: each wait notices the end of its 15.625 ms
  // tick within a millisecond.
  timeBeginPeriod(1);
  return admin_main(static_cast<int>(words.size()), argv.data(), "qel-upgrade-cli");
}

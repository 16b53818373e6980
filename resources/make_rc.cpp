// Build-time tool: writes a program's resource script.
//   qel-make-rc OUTPUT.rc --icon FILE --version MAJOR.MINOR.PATCH
//               --firmware NUMBER=FILE [--firmware NUMBER=FILE]
//               [--name NAME --description TEXT]
// NAME and TEXT are the program's own in its version resource (default the
// wizard's: qel-upgrade, "QEL Firmware Upgrade").
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>

#include "resources/rc_script.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: qel-make-rc OUTPUT.rc --icon FILE --version X.Y.Z "
               "--firmware NUMBER=FILE [--firmware NUMBER=FILE] "
               "[--name NAME --description TEXT]\n");
  return 2;
}

bool parse_version(const std::string& text, int* version) {
  int parts[3] = {0, 0, 0};
  int n = std::sscanf(text.c_str(), "%d.%d.%d", &parts[0], &parts[1], &parts[2]);
  if (n < 1) return false;
  for (int i = 0; i < 3; ++i) version[i] = parts[i];
  version[3] = 0;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string output = argv[1];
  ResourceScriptInputs inputs{};
  bool have_version = false;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    std::string value = argv[++i];
    if (arg == "--icon") {
      inputs.icon_file = value;
    } else if (arg == "--version") {
      if (!parse_version(value, inputs.version)) return usage();
      have_version = true;
    } else if (arg == "--name") {
      inputs.internal_name = value;
    } else if (arg == "--description") {
      inputs.file_description = value;
    } else if (arg == "--firmware") {
      auto eq = value.find('=');
      if (eq == std::string::npos) return usage();
      inputs.firmware.push_back({std::atoi(value.substr(0, eq).c_str()), value.substr(eq + 1)});
    } else {
      return usage();
    }
  }
  if (inputs.icon_file.empty() || inputs.firmware.empty() || !have_version) return usage();

  std::string script;
  try {
    script = rc_resource_script(inputs);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qel-make-rc: %s\n", e.what());
    return 1;
  }
  std::ofstream out(output, std::ios::binary);
  out << script;
  out.close();
  if (!out) {
    std::fprintf(stderr, "qel-make-rc: cannot write %s\n", output.c_str());
    return 1;
  }
  return 0;
}

// qel-admin-manual IN OUT: the manual page IN with the subcommands' synopsis
// and COMMANDS section written in from help.h's table, the one their --help
// prints, so that the page and --help cannot disagree.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "admin/help.h"

namespace {

const char SYNOPSIS_MARK[] = ".\\\" qel-admin: synopsis";
const char COMMANDS_MARK[] = ".\\\" qel-admin: commands";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qel-admin-manual IN OUT\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "qel-admin-manual: cannot read %s\n", argv[1]);
    return 1;
  }
  std::ostringstream page;
  int marks = 0;
  for (std::string line; std::getline(in, line);) {
    if (line == SYNOPSIS_MARK) {
      page << admin::manual_synopsis();
      ++marks;
    } else if (line == COMMANDS_MARK) {
      page << admin::manual_commands();
      ++marks;
    } else {
      page << line << "\n";
    }
  }
  if (marks != 2) {
    std::fprintf(stderr, "qel-admin-manual: %s lacks the lines %s and %s\n", argv[1], SYNOPSIS_MARK,
                 COMMANDS_MARK);
    return 1;
  }
  std::ofstream out(argv[2]);
  out << page.str();
  out.close();
  if (!out) {
    std::fprintf(stderr, "qel-admin-manual: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}

// What scan, upgrade and fleet say about themselves, in one table: the
// command-line parser takes each option's text from it and prints its
// sections after the options (--help), and the build writes the manual
// page's synopsis and COMMANDS section from it (qel-admin-manual), so the
// two cannot disagree. Plain data and text: no parser, no I/O.
#pragma once
#include <string>
#include <vector>

namespace admin {

struct OptionHelp {
  const char* name;   // "--user", or an argument's name ("ADDRESS")
  const char* value;  // what the option takes ("NAME"); "" for a flag or an argument
  const char* text;
  bool optional_argument = false;  // an argument that may be left out (scan's PREFIX ...)
};

// A term and what it means: a result, an exit code, a report column, a code.
struct ItemHelp {
  const char* term;
  const char* text;
};

struct SectionHelp {
  const char* title;
  const char* text;  // a paragraph before the items; may be ""
  std::vector<ItemHelp> items;
};

struct CommandHelp {
  const char* name;
  const char* summary;
  std::vector<OptionHelp> options;  // its arguments first, in order
  std::vector<SectionHelp> sections;
};

// Texts may hold {POSIX words|Windows words}: each system's help says what is
// true there; the manual page is POSIX's.
enum class HelpSystem { POSIX, WINDOWS };
std::string for_system(const std::string& text, HelpSystem system);

const std::vector<CommandHelp>& command_help();
const CommandHelp& help_of(const std::string& command);
// The text of a command's option; "" when the table has none (a test
// checks that every option of the parser has one).
std::string option_text(const std::string& command, const std::string& option,
                        HelpSystem system = HelpSystem::POSIX);

// The sections as --help prints them after the options, lines at most
// `width` characters.
std::string help_footer(const CommandHelp& command, HelpSystem system = HelpSystem::POSIX,
                        std::size_t width = 88);
// The manual page's synopsis lines for every command, and its COMMANDS
// section's subsections (roff, man macros).
std::string manual_synopsis();
std::string manual_commands();

}  // namespace admin

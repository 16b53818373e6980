// Line ends of the program's texts. They break lines with CR LF, as the
// dialogs they were written for expect; a lone CR or a lone LF ends a line
// too, so that a text from elsewhere (a device's answer) cannot hide a line
// end or leave a bare CR on a screen.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace frontend {

// The lines of a text, without their ends: one more than the line ends in
// it, so "" is one empty line and a text ending in CR LF ends with an empty
// line.
std::vector<std::string> split_lines(const std::string& text);

// The text with LF line ends, as toolkits and terminals want them, and
// every other control character of its single bytes (C0 but the tab, DEL,
// C1) as '?'. Device texts reach the dialogs as they came: on a UTF-8
// terminal their bytes could otherwise form escape sequences or direction
// controls, each of which has a byte in 0x80-0x9f (U+202E is E2 80 AE).
std::string plain_text(const std::string& text);

// The longest line of a text, in characters.
int longest_line(const std::string& text);

// A code point as UTF-8, each byte through put(char): the one encoder, for
// strings and for buffers that must not grow (a password's).
template <typename Put>
void utf8_bytes(std::uint32_t c, Put put) {
  if (c < 0x80) {
    put(static_cast<char>(c));
  } else if (c < 0x800) {
    put(static_cast<char>(0xc0 | (c >> 6)));
    put(static_cast<char>(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    put(static_cast<char>(0xe0 | (c >> 12)));
    put(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    put(static_cast<char>(0x80 | (c & 0x3f)));
  } else {
    put(static_cast<char>(0xf0 | (c >> 18)));
    put(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
    put(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    put(static_cast<char>(0x80 | (c & 0x3f)));
  }
}

// The program's texts are single bytes; JSON wants UTF-8. Each byte is taken
// as the Latin-1 character of the same value, so no byte is lost.
std::string latin1_to_utf8(const std::string& text);

// A character that changes the direction of the text around it (U+061C,
// U+200E, U+200F, U+202A-U+202E, U+2066-U+2069): shown as it is, it can
// reorder what is read on a terminal or in a spreadsheet, so device text
// treats it as a control character.
bool is_bidi_control(std::uint32_t code_point);

// What a device sent, made safe to show on a terminal or in a file: one line,
// UTF-8, line ends and tabs as blanks, every other control character (C0,
// DEL, C1) and every bidirectional control (is_bidi_control) as '?', blanks
// at the ends trimmed. shown_text takes the program's single-byte texts
// (Latin-1); shown_utf8 takes UTF-8 (what a child's JSON carries), with each
// invalid byte as U+FFFD.
std::string shown_text(const std::string& latin1);
std::string shown_utf8(const std::string& utf8);
// Text from the command line that goes into the wizard's fields and into
// messages: printable ASCII without blanks, so no byte of it needs escaping.
bool printable_ascii(const std::string& text);
// Any bytes as valid UTF-8, each invalid byte as U+FFFD (for JSON).
std::string valid_utf8(const std::string& text);

// A report field for CSV: shown_utf8, a leading quote before a text a
// spreadsheet would take for a formula, quotes where CSV needs them.
std::string csv_field(const std::string& utf8);

}  // namespace frontend

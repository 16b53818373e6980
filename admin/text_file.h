// Text files as people on either system write them: a fleet's list, a
// report given back to --retry. Notepad may put a UTF-8 byte-order mark
// first, Windows PowerShell 5.1 writes UTF-16 with one, Excel and Windows
// tools end lines with CR LF.
#pragma once
#include <string>

namespace admin {

// The file's text as UTF-8: a UTF-8 byte-order mark dropped, UTF-16 (by its
// mark) converted, lone surrogates as U+FFFD. False with *why for text
// that looks like UTF-16 without a mark (NUL bytes between characters).
bool decode_text(const std::string& bytes, std::string* utf8, std::string* why);

}  // namespace admin

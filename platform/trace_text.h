// What the trace implementations write: the trace carries device bytes (its
// pages, its file names), which must not drive the terminal or debugger that
// shows them. Control characters and bytes above 126 become \xNN; a line
// break stays, its carriage return goes.
#pragma once

#include <cstddef>
#include <cstdio>

inline void trace_printable(const char* text, char* out, std::size_t size) {
  std::size_t used = 0;
  for (const char* p = text; *p != '\0' && used + 5 <= size; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c == '\r' && p[1] == '\n') continue;
    if (c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7f)) {
      out[used++] = static_cast<char>(c);
    } else {
      std::snprintf(out + used, 5, "\\x%02x", c);
      used += 4;
    }
  }
  out[used] = '\0';
}

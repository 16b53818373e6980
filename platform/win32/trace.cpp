#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "platform/trace.h"
#include "platform/trace_text.h"

// Release builds discard the text; debug builds pass it to the debugger and
// to stderr.
void trace(const char* format, ...) {
#if QEL_TRACE_TO_STDERR
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  char shown[sizeof text * 4 + 1];
  trace_printable(text, shown, sizeof shown);
  OutputDebugStringA(shown);
  std::fputs(shown, stderr);
#else
  (void)format;
#endif
}

#include "platform/trace.h"
#include "platform/trace_text.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#if QEL_TEST_SEAMS
#include "platform/posix/seams.h"

namespace {
std::atomic<TraceSink> trace_sink{nullptr};
}

void seam_set_trace_sink(TraceSink sink) { trace_sink = sink; }
#endif

void trace(const char* format, ...) {
#if QEL_TRACE_TO_STDERR
  const bool to_stderr = true;
#else
  const bool to_stderr = false;
#endif
#if QEL_TEST_SEAMS
  TraceSink sink = trace_sink.load();
  if (!sink && !to_stderr) return;
#else
  if (!to_stderr) return;
#endif
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
#if QEL_TEST_SEAMS
  if (sink) sink(text);
#endif
  if (to_stderr) {
    char shown[sizeof text * 4 + 1];
    trace_printable(text, shown, sizeof shown);
    std::fputs(shown, stderr);
  }
}

#include "platform/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/posix/seams.h"

namespace {
std::atomic<TraceSink> trace_sink{nullptr};
}

void seam_set_trace_sink(TraceSink sink) { trace_sink = sink; }

void trace(const char* format, ...) {
  TraceSink sink = trace_sink.load();
#if QEL_TRACE_TO_STDERR
  const bool to_stderr = true;
#else
  const bool to_stderr = false;
#endif
  if (!sink && !to_stderr) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (sink) sink(text);
  if (to_stderr) std::fputs(text, stderr);
}

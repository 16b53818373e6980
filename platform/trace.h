// Diagnostic hook: receives printf-style text at fixed points and, in a
// release build, discards it.
#pragma once

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void trace(const char* format, ...);

// The administrators' tool's printf-style texts, into the one writer of each
// stream (platform/console.h's write_text). Texts from devices and other
// users go through frontends/common/text.h's sanitiser first.
#pragma once
#include <string>

namespace admin {

// QEL_PRINTF_FORMAT is the compiler's name of the C99 format family on the
// system built for (admin/CMakeLists.txt).
#ifndef QEL_PRINTF_FORMAT
#define QEL_PRINTF_FORMAT printf
#endif
void print_out(const char* format, ...) __attribute__((format(QEL_PRINTF_FORMAT, 1, 2)));
void print_err(const char* format, ...) __attribute__((format(QEL_PRINTF_FORMAT, 1, 2)));
std::string formatted(const char* format, ...) __attribute__((format(QEL_PRINTF_FORMAT, 1, 2)));

}  // namespace admin

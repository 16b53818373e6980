#include "support/slowness.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#ifndef QEL_TEST_TIME_SCALE
#define QEL_TEST_TIME_SCALE 1
#endif

namespace {
// A build that defines the factor as nothing (a project that includes the
// test support without the product's CMake variable) means "no slower than
// the default build", never 0: a factor of 0 makes every wait give up at once.
constexpr double build_time_scale() {
  constexpr double scale{QEL_TEST_TIME_SCALE};
  return scale >= 1 ? scale : 1;
}
}  // namespace

namespace simtest {

double time_scale() {
  static const double scale = [] {
    if (const char* text = std::getenv("QEL_TEST_TIME_SCALE")) {
      char* end = nullptr;
      double value = std::strtod(text, &end);
      if (end != text && *end == '\0' && value >= 1 && value <= 100) return value;
    }
    return build_time_scale();
  }();
  return scale;
}

std::chrono::milliseconds patient(std::chrono::milliseconds bound) {
  return std::chrono::milliseconds(std::llround(double(bound.count()) * time_scale()));
}

std::string patient_seconds(double seconds) {
  std::ostringstream text;
  text << seconds * time_scale();
  return text.str();
}

int patient_count(int count) { return int(std::lround(count * time_scale())); }

std::string clock_and_limit(double scale, int limit_ms) {
  std::ostringstream text;
  text << "clock " << scale << "\ntimeout " << patient(std::chrono::milliseconds(limit_ms)).count()
       << "\n";
  return text.str();
}

}  // namespace simtest

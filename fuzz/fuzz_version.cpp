// Version texts as a device's page or an image header may carry them.
#include <cstdint>
#include <string>

#include "app/app.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated by c_str
  std::int32_t value = version_number(text.c_str());
  // The number depends only on the text up to its first NUL, and is stable.
  std::string cut(text.c_str());
  FUZZ_CHECK(version_number(cut.c_str()) == value);
  // A text with no digit at all has no number.
  if (cut.find_first_of("0123456789") == std::string::npos) FUZZ_CHECK(value == 0);
  return 0;
}

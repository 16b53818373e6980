// The device address as typed: any bytes, NUL-terminated as the dialog's text
// read gives them (at most 62 characters).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "ui/ui.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.substr(0, std::strlen(text.c_str()));  // the control's text ends at a NUL
  if (text.size() > 62) text.resize(62);

  std::uint32_t address = 0xdeadbeef;
  int code = parse_ip_address(text.c_str(), &address);
  FUZZ_CHECK(code >= 0 && code <= 5);
  if (code != 0) FUZZ_CHECK(address == 0);
  if (text.size() < 7 || text.size() > 15) FUZZ_CHECK(code == 4);
  if (code == 0) {
    for (char c : text) FUZZ_CHECK((c >= '0' && c <= '9') || c == '.' || c == '*');
    // What was accepted reads back as the same address in plain dotted form.
    char dotted[16];
    std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xff,
                  (address >> 8) & 0xff, address & 0xff);
    std::uint32_t again = 1;
    FUZZ_CHECK(parse_ip_address(dotted, &again) == 0);
    FUZZ_CHECK(again == address);
  }
  return 0;
}

// A device's whole HTTP response, as the exchange holds it once the device
// closed the connection: classified, its challenge taken, the five values
// extracted, and an Authorization line written from what the challenge left.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "http/digest.h"
#include "http/http.h"

namespace {

// What a value found implies of the text, in the FOUND_* bits' order.
const char* const LABELS[] = {
    "Product Name:", "MAC Address:", "Software Version:", "Hardware Version:", "Serial Number:"};

template <std::size_t N>
bool terminated(const char (&field)[N]) {
  return std::memchr(field, 0, N) != nullptr;
}

void check_state(const DigestState& d) {
  FUZZ_CHECK(terminated(d.counted_nonce) && terminated(d.nonce) && terminated(d.cnonce));
  FUZZ_CHECK(terminated(d.user_name) && terminated(d.password) && terminated(d.realm));
  FUZZ_CHECK(terminated(d.qop) && terminated(d.algorithm) && terminated(d.opaque));
}

// The longest credentials the password dialog lets through.
void long_credentials(DigestState* d) {
  std::memset(d->user_name, 'u', 126);
  d->user_name[126] = '\0';
  std::memset(d->password, 'p', 126);
  d->password[126] = '\0';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > static_cast<std::size_t>(RESPONSE_CAPACITY)) size = RESPONSE_CAPACITY;
  // Exactly the bytes received and the NUL the exchange stores after them.
  std::vector<char> text(size + 1);
  if (size) std::memcpy(text.data(), data, size);
  text[size] = '\0';

  DigestState digest{};
  long_credentials(&digest);
  int kind = classify_response(text.data(), static_cast<int>(size), &digest);
  FUZZ_CHECK(kind >= -2 && kind <= 2);
  FUZZ_CHECK((kind == -1) == (std::strncmp(text.data(), "HTTP/1.1", 8) != 0));
  check_state(digest);

  if (kind == 1) {
    FUZZ_CHECK(std::strstr(text.data(), "WWW-Authenticate:") != nullptr);
    // Every request after a challenge carries this line; it must fit its room
    // whatever the challenge held.
    digest.nonce_count = 0xffffffffu;
    std::vector<char> line(DIGEST_AUTHORIZATION_SIZE);
    int length = digest_authorization(&digest, line.data());
    FUZZ_CHECK(length > 2 && length < DIGEST_AUTHORIZATION_SIZE);
    FUZZ_CHECK(std::strlen(line.data()) == static_cast<std::size_t>(length));
    FUZZ_CHECK(std::strncmp(line.data(), "Authorization: Digest username=\"", 32) == 0);
    FUZZ_CHECK(line[length - 2] == '\r' && line[length - 1] == '\n');
  } else {
    // The page reader the exchange and the command line's scan both use.
    DeviceInfo info;
    char* fields[] = {info.product_name, info.mac_address, info.software_version,
                      info.hardware_version, info.serial_number};
    for (char* field : fields) std::memset(field, '#', sizeof info.product_name);
    unsigned found = read_device_page(text.data(), &info);
    FUZZ_CHECK(found <= FOUND_ALL_FIELDS);
    for (int i = 0; i < 5; ++i) {
      if (found & (1u << i)) {
        std::size_t n = std::strlen(fields[i]);
        FUZZ_CHECK(n <= 127);
        FUZZ_CHECK(std::memchr(fields[i], '<', n) == nullptr);
        FUZZ_CHECK(std::strstr(text.data(), LABELS[i]) != nullptr);
      } else {
        for (std::size_t b = 0; b < sizeof info.product_name; ++b) FUZZ_CHECK(fields[i][b] == '#');
      }
    }
  }

  // The challenge parser on its own, from wherever the text starts.
  DigestState fresh{};
  int usable = parse_digest_challenge(text.data(), &fresh);
  FUZZ_CHECK(usable == 0 || usable == 1);
  check_state(fresh);
  if (usable == 0) FUZZ_CHECK(std::strstr(text.data(), "nonce=\"") != nullptr);
  return 0;
}

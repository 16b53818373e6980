// One datagram reaching the listener while it waits for the read request of
// request_file_name. Only that request may be served; everything else is
// dropped, and nothing is ever sent back.
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/app.h"
#include "fuzz/fuzz_check.h"
#include "platform/fake/fake.h"
#include "tftp/tftp.h"

namespace {
const char NAME[] = "/qel1a2b.bi1";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool ready = [] {
    set_request_file_name(NAME);
    return true;
  }();
  (void)ready;
  fake::reset();

  // The listener reads at most a full packet; a longer datagram is not read
  // (the receive fails, which is an idle pass, below).
  std::size_t length = size < TFTP_PACKET_SIZE ? size : TFTP_PACKET_SIZE;
  // Exactly the bytes received, so a read past them is caught.
  std::vector<char> datagram(data, data + length);
  ListenerAction action = classify_listener_datagram(datagram.data(), static_cast<int>(length));

  bool is_rrq = length >= 2 && datagram[0] == 0 && datagram[1] == 1;
  const char* name = is_rrq ? datagram.data() + 2 : nullptr;
  bool named = is_rrq && std::memchr(name, 0, length - 2) != nullptr;
  bool expected = named && std::strcmp(name, NAME) == 0;
  if (length == 0)
    FUZZ_CHECK(action == LISTENER_IDLE);
  else
    FUZZ_CHECK(action == (expected ? LISTENER_SERVE : LISTENER_DROP));
  FUZZ_CHECK(fake::sent.empty());

  // A failed or would-block receive is an idle pass, whatever the buffer holds.
  FUZZ_CHECK(classify_listener_datagram(datagram.data(), -1) == LISTENER_IDLE);
  return 0;
}

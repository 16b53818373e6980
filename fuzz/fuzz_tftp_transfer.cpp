// The read transfer fed a sequence of datagrams through the socket stand-in.
// Whatever arrives, the server sends only the OACK and the image's blocks, to
// the peer only, one block ahead of the peer's acknowledgements at most; it
// ends with success only when every block was acknowledged, and gives up only
// after 30 silent resend intervals.
//
// Input: byte 0 chooses the image size and the stage; then records, each a
// header byte h and its data:
//   h % 4 == 0  idle receives, as many as the next byte's low 7 bits + 1
//   h % 4 == 1  the peer acknowledges the packet last sent (a well-behaved device)
//   h % 4 == 2  a datagram from the peer: 2 length bytes (up to 2047), then its bytes
//   h % 4 == 3  the same from a stranger: another port, another address or both
// A datagram longer than the server's packet is not read at all. Idle passes
// are counted where the stand-in's clock ticks: at the end of a wait that no
// datagram cut short.
// Once the records run out, the transfer idles towards its time-out; unless
// bits 4 to 6 of byte 0 are all set, the run is cut 240 receives later (past
// a resend) to keep the fuzzer fast, and the time-out itself is not checked.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/app.h"
#include "firmware/firmware.h"
#include "fuzz/fuzz_check.h"
#include "platform/fake/fake.h"
#include "tftp/tftp.h"

namespace {

constexpr std::uint32_t PEER = 0x7f000002;
constexpr std::uint16_t PEER_PORT = 40123;
constexpr std::uint32_t SERVER = 0x7f000001;
constexpr std::uint32_t SIZES[] = {0, 1, 511, 512, 513, 1024, 1500, 2055};

std::vector<std::uint8_t> target_bytes;
std::vector<std::uint8_t> transition_bytes;

void set_images() {
  target_bytes.resize(4096);
  transition_bytes.resize(4096);
  for (std::size_t i = 0; i < target_bytes.size(); ++i) {
    target_bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    transition_bytes[i] = static_cast<std::uint8_t>(i * 13 + 5);
  }
}

std::uint16_t u16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

// What the wire shows so far, read the way the peer would.
struct Model {
  const std::uint8_t* image = nullptr;
  std::uint32_t size = 0;
  std::uint32_t blocks = 0;       // size / 512 + 1
  std::uint32_t outstanding = 0;  // 0: the OACK, else the DATA block last sent
  bool started = false;           // the OACK went out
  std::uint32_t acked = 0;        // highest packet the peer acknowledged while outstanding
  bool any_ack = false;
  int idle_since_progress = 0;  // idle passes since the last good ACK
  int idle_since_send = 0;      // idle passes since the last packet sent
  int resends_since_progress = 0;
  bool all_acked = false;
};
Model model;

void on_send(const fake::Sent& s) {
  FUZZ_CHECK(s.address == PEER && s.port == PEER_PORT);
  FUZZ_CHECK(s.bytes.size() >= 4);
  std::uint16_t opcode = u16(s.bytes, 0);
  FUZZ_CHECK(opcode == TFTP_OACK || opcode == TFTP_DATA);  // never an ERROR
  bool resend = false;
  if (opcode == TFTP_OACK) {
    std::vector<std::uint8_t> expected = {0, 6};
    const char* parts[] = {"tsize", nullptr, "timeout", "5"};
    std::string size = std::to_string(model.size);
    parts[1] = size.c_str();
    for (const char* p : parts) expected.insert(expected.end(), p, p + std::strlen(p) + 1);
    FUZZ_CHECK(s.bytes == expected);
    resend = model.started;
    FUZZ_CHECK(!resend || model.outstanding == 0);  // no OACK once blocks flow
    model.started = true;
  } else {
    std::uint32_t block = u16(s.bytes, 2);
    FUZZ_CHECK(block >= 1 && block <= model.blocks);
    if (block == model.outstanding) {
      resend = true;
    } else {
      // A new block only after the peer acknowledged the one before.
      FUZZ_CHECK(block == model.outstanding + 1);
      FUZZ_CHECK(model.any_ack && model.acked == model.outstanding);
      model.outstanding = block;
    }
    std::size_t offset = (block - 1) * 512u;
    std::size_t length = block == model.blocks ? model.size % 512 : 512;
    FUZZ_CHECK(s.bytes.size() == length + 4);
    FUZZ_CHECK(std::memcmp(s.bytes.data() + 4, model.image + offset, length) == 0);
  }
  if (resend) {
    // A resend comes after exactly 100 idle passes.
    FUZZ_CHECK(model.idle_since_send == TFTP_RESEND_POLLS);
    ++model.resends_since_progress;
  }
  model.idle_since_send = 0;
}

void on_receive(const fake::Datagram& d, int result) {
  bool from_peer = result > 0 && d.address == PEER && d.port == PEER_PORT;
  bool ack = from_peer && result >= 4 && d.bytes[0] == 0 && d.bytes[1] == TFTP_ACK;
  if (ack && u16(d.bytes, 2) == model.outstanding && model.started && !model.all_acked) {
    model.acked = model.outstanding;
    model.any_ack = true;
    model.idle_since_progress = 0;
    model.resends_since_progress = 0;
    model.idle_since_send = 0;
    if (model.outstanding == model.blocks) model.all_acked = true;
  }
}

// The end of an idle pass; nothing that was received in it counts.
void on_tick() {
  ++model.idle_since_progress;
  ++model.idle_since_send;
  FUZZ_CHECK(model.idle_since_send <= TFTP_RESEND_POLLS);
}

std::vector<std::uint8_t> ack_of(std::uint32_t block) {
  return {0, 4, static_cast<std::uint8_t>(block >> 8 & 0xff),
          static_cast<std::uint8_t>(block & 0xff)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool ready = [] {
    set_images();
    std::strcpy(wizard.device_address_text, "127.0.0.2");
    return true;
  }();
  (void)ready;
  if (size == 0) return 0;
  fake::reset();
  model = Model{};

  bool transition = data[0] & 8;
  std::uint32_t image_size = SIZES[data[0] % 8];
  target_image = FirmwareImage{target_bytes.data(), image_size, {}};
  transition_image = FirmwareImage{transition_bytes.data(), image_size, {}};
  wizard.upgrade_stage.store(transition ? STAGE_TRANSITION : STAGE_TARGET);
  model.image = transition ? transition_bytes.data() : target_bytes.data();
  model.size = image_size;
  model.blocks = image_size / 512 + 1;

  // The peer's "acknowledge what was last sent" is decided when it is read,
  // so the records become receives lazily, at the receive that needs one.
  std::size_t at = 1;
  auto next_record = [&]() -> bool {
    if (at >= size) {
      fake::exhausted = true;
      return false;
    }
    std::uint8_t h = data[at++];
    fake::Datagram d;
    switch (h % 4) {
      case 0: {
        int count = (at < size ? data[at++] & 0x7f : 0) + 1;
        d.nothing = true;
        for (int i = 0; i < count; ++i) fake::script.push_back(d);
        return true;
      }
      case 1: {
        std::uint32_t last = 0;
        if (!fake::sent.empty() && u16(fake::sent.back().bytes, 0) == TFTP_DATA)
          last = u16(fake::sent.back().bytes, 2);
        d.address = PEER;
        d.port = PEER_PORT;
        d.bytes = ack_of(last);
        fake::script.push_back(d);
        return true;
      }
      default: {
        std::size_t length = 0;
        if (at + 2 <= size) length = (data[at] << 8 | data[at + 1]) & 0x7ff;
        at += 2;
        if (at > size) at = size;
        if (length > size - at) length = size - at;
        d.bytes.assign(data + at, data + at + length);
        at += length;
        d.address = PEER;
        d.port = PEER_PORT;
        if (h % 4 == 3) {
          int which = (h >> 2) % 3;
          if (which != 1) d.port = static_cast<std::uint16_t>(PEER_PORT + 1);
          if (which != 0) d.address = PEER + 1;
        }
        fake::script.push_back(d);
        return true;
      }
    }
  };
  fake::on_send = on_send;
  fake::on_receive = on_receive;
  fake::on_tick = on_tick;
  fake::refill = [&] { next_record(); };

  bool full_tail = (data[0] & 0x70) == 0x70;
  fake::idle_tail_limit = full_tail ? -1 : 240;

  int failed = 0;
  TftpSession* session = nullptr;
  try {
    session = run_tftp_session(4, SERVER, 69, PEER, PEER_PORT, "/qel1a2b.bi1", &failed);
  } catch (const fake::ScriptEnded& ended) {
    // Cut short while idling: nothing was finished, nothing more to check.
    // The session is the record whose packet buffer the receive was given.
    FUZZ_CHECK(!model.all_acked);
    std::free(static_cast<unsigned char*>(ended.buffer) - offsetof(TftpSession, packet));
    return 0;
  }
  FUZZ_CHECK(session != nullptr);
  FUZZ_CHECK(failed == 0 || failed == 1);
  FUZZ_CHECK(model.started);
  if (!failed) {
    FUZZ_CHECK(model.all_acked);
    FUZZ_CHECK(session->bytes_acked == static_cast<std::int32_t>(image_size));
  } else {
    FUZZ_CHECK(!model.all_acked);
    // Given up only after 30 silent intervals: 29 resends, 3,000 empty passes.
    FUZZ_CHECK(model.idle_since_progress == TFTP_RESEND_POLLS * TFTP_MAX_EXPIRIES);
    FUZZ_CHECK(model.resends_since_progress == TFTP_MAX_EXPIRIES - 1);
  }
  std::free(session);
  return 0;
}

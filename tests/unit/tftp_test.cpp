// The TFTP server without a listener: its packets, its decisions on single
// datagrams, the read transfer against a device played on loopback UDP,
// and the wait after a transfer.
#include "resources/ids.h"
#include "tftp/tftp.h"
#include "ui/ui.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/app.h"
#include "firmware/firmware.h"
#include "platform/clock.h"
#include "platform/portable/frontend.h"
#include "platform/posix/seams.h"
#include "resources/image_builder.h"
#include "support/dialog_recorder.h"
#include "support/udp_peer.h"

namespace {

using namespace udp_peer;

const char NAME[] = "/qel1a2b.bi1";
const char DEVICE_TEXT[] = "192.168.2.110";

// One transfer: the server side runs run_tftp_session on a thread of its own
// (which therefore owns the upload dialog), the test plays the device.
struct Transfer {
  int device = -1;
  std::uint16_t device_port = 0;
  NetSocket server = NET_INVALID_SOCKET;
  std::uint16_t server_port = 0;
  std::thread thread;
  std::atomic<bool> done{false};
  int transfer_failed = -1;

  void start() {
    device = bind_udp(0, &device_port);
    ASSERT_GE(device, 0);
    int fd = bind_udp(0, &server_port);
    ASSERT_GE(fd, 0);
    server = static_cast<NetSocket>(fd);
    thread = std::thread([this] {
      TftpSession* session = run_tftp_session(server, LOOPBACK, server_port, LOOPBACK, device_port,
                                              NAME, &transfer_failed);
      dialog_destroy(session->upload_dialog);
      std::free(session);
      done = true;
    });
  }

  // The next packet from the server; fails the test after 5 s of silence.
  Bytes next() {
    std::uint16_t from_port = 0;
    Bytes packet = receive(device, 5000, &from_port);
    EXPECT_FALSE(packet.empty()) << "the server sent nothing";
    EXPECT_EQ(from_port, server_port) << "every packet leaves from the listening port";
    return packet;
  }

  void send(const Bytes& packet) { send_to(device, packet, server_port); }

  void finish() {
    if (thread.joinable()) thread.join();
  }

  // True when nothing is waiting for the device; meaningful once the server
  // has stopped sending, i.e. after finish() or done.
  bool quiet() { return receive(device, 0).empty(); }

  ~Transfer() {
    finish();
    if (device >= 0) ::close(device);
    if (server != NET_INVALID_SOCKET) net_close(server);
  }
};

class TftpServer : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_target_ = target_image;
    saved_transition_ = transition_image;
    saved_stage_ = wizard.upgrade_stage.load();
    wizard.upgrade_stage = STAGE_TARGET;
    std::strcpy(wizard.device_address_text, DEVICE_TEXT);
    set_request_file_name(NAME);
    frontend_install(&frontend_);
  }
  void TearDown() override {
    frontend_install(nullptr);
    seam_set_clock(1.0, 0);
    target_image = saved_target_;
    transition_image = saved_transition_;
    wizard.upgrade_stage = saved_stage_;
  }

  void use_image(FirmwareImage* image, std::uint32_t size, const char* version = "5.2.5") {
    Bytes& storage =
        size >= FIRMWARE_HEADER_SIZE
            ? images_.emplace_back(build_firmware_image({"qel5300", version, size, size}))
            : images_.emplace_back(Bytes(size + 1, 0x5a));
    *image = FirmwareImage{storage.data(), size, {}};
    if (size >= FIRMWARE_HEADER_SIZE)
      std::memcpy(&image->header, storage.data(), FIRMWARE_HEADER_SIZE);
  }

  // Checks the OACK, acknowledges it and every block as soon as it arrives;
  // returns the DATA packets in order.
  std::vector<Bytes> download(Transfer* t, std::uint32_t size) {
    std::vector<Bytes> blocks;
    EXPECT_EQ(t->next(), tftp_oack(size));
    t->send(tftp_ack(0));
    for (std::uint16_t expected = 1;; ++expected) {
      Bytes data = t->next();
      if (opcode_of(data) != TFTP_DATA || block_of(data) != expected) {
        ADD_FAILURE() << "expected DATA " << expected;
        break;
      }
      blocks.push_back(data);
      t->send(tftp_ack(expected));
      if (data.size() < 4 + TFTP_BLOCK_SIZE) break;
    }
    return blocks;
  }

  std::vector<std::string> upload_captions() {
    std::vector<DialogRecord> uploads = frontend_.dialogs(IDD_UPLOAD);
    return uploads.size() == 1 ? uploads[0].captions : std::vector<std::string>{};
  }

  DialogRecorder frontend_;
  std::vector<Bytes> images_;
  FirmwareImage saved_target_{}, saved_transition_{};
  std::uint32_t saved_stage_ = STAGE_TARGET;
};

// ---- packets ----

TEST(TftpPackets, OptionAcknowledgementCarriesSizeAndTimeout) {
  unsigned char buffer[TFTP_PACKET_SIZE];
  int length = build_tftp_oack(buffer, 871243);
  ASSERT_EQ(length, 25);
  EXPECT_EQ(Bytes(buffer, buffer + length), tftp_oack(871243u));

  length = build_tftp_oack(buffer, 1024);
  ASSERT_EQ(length, 23);
  EXPECT_EQ(Bytes(buffer, buffer + length), tftp_oack(1024u));

  EXPECT_EQ(Bytes(buffer, buffer + build_tftp_oack(buffer, 0)), tftp_oack(0u));
  // Unsigned, no sign and no leading zeros at the top of the range.
  EXPECT_EQ(Bytes(buffer, buffer + build_tftp_oack(buffer, 4294967295u)), tftp_oack(4294967295u));
}

TEST(TftpPackets, DataBlockNumberKeepsTheLow16Bits) {
  unsigned char buffer[TFTP_PACKET_SIZE];
  const unsigned char payload[3] = {0xde, 0xad, 0xbe};
  ASSERT_EQ(build_tftp_data(buffer, payload, 3, 0x1702), 7);
  EXPECT_EQ(Bytes(buffer, buffer + 7), (Bytes{0, 3, 0x17, 0x02, 0xde, 0xad, 0xbe}));
  ASSERT_EQ(build_tftp_data(buffer, nullptr, 0, 65536 + 258), 4);
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0, 3, 1, 2}));

  put_u16_be(buffer, 0xabcd12);
  EXPECT_EQ(buffer[0], 0xcd);
  EXPECT_EQ(buffer[1], 0x12);
  EXPECT_EQ(get_u16_be(buffer), 0xcd12);
}

// ---- one datagram at the listener ----

TEST_F(TftpServer, ListenerServesOnlyARequestForTheExactName) {
  const std::string name(NAME);
  const struct {
    const char* what;
    Bytes datagram;
    ListenerAction action;
  } cases[] = {
      {"octet", tftp_rrq(NAME), LISTENER_SERVE},
      {"netascii with options",
       tftp_rrq(NAME, std::string("netascii\0blksize\0"
                                  "1468\0tsize\0"
                                  "0\0",
                                  30)),
       LISTENER_SERVE},
      {"no mode at all", tftp_rrq(NAME, ""), LISTENER_SERVE},
      {"letter case", tftp_rrq("/QEL1A2B.bi1"), LISTENER_DROP},
      {"no leading slash", tftp_rrq("qel1a2b.bi1"), LISTENER_DROP},
      {"longer", tftp_rrq("/qel1a2b.bi10"), LISTENER_DROP},
      {"shorter", tftp_rrq("/qel1a2b.bi"), LISTENER_DROP},
      {"other stage", tftp_rrq("/qel1a2b.bi0"), LISTENER_DROP},
      {"write request", tftp_packet(TFTP_WRQ, name + std::string("\0octet\0", 7)), LISTENER_DROP},
      {"data", tftp_packet(TFTP_DATA, std::string("\0\1abc", 5)), LISTENER_DROP},
      {"ack", tftp_ack(0), LISTENER_DROP},
      {"error", tftp_packet(TFTP_ERROR, std::string("\0\1nope\0", 7)), LISTENER_DROP},
      {"opcode 0", tftp_packet(0, name + '\0'), LISTENER_DROP},
      {"opcode 6", tftp_packet(6, name + '\0'), LISTENER_DROP},
      {"opcode 257", tftp_packet(257, name + '\0'), LISTENER_DROP},
      {"opcode 65535", tftp_packet(65535, name + '\0'), LISTENER_DROP},
      {"one letter's case", tftp_rrq("/qel1A2b.bi1"), LISTENER_DROP},
      {"two slashes", tftp_rrq("//qel1a2b.bi1"), LISTENER_DROP},
      {"trailing space", tftp_rrq("/qel1a2b.bi1 "), LISTENER_DROP},
      {"empty name", tftp_rrq(""), LISTENER_DROP},
      {"no NUL after the name", tftp_packet(TFTP_RRQ, name), LISTENER_DROP},
      {"a name without its end", Bytes{0, 1, '/'}, LISTENER_DROP},
      {"empty datagram", Bytes{}, LISTENER_IDLE},
      {"one byte", Bytes{0}, LISTENER_DROP},
      {"opcode only", Bytes{0, 1}, LISTENER_DROP},
  };
  for (const auto& c : cases) {
    // A copy of exactly the datagram's bytes, so that reading past them shows
    // (under the address sanitizer).
    std::vector<char> copy(c.datagram.begin(), c.datagram.end());
    EXPECT_EQ(classify_listener_datagram(copy.data(), static_cast<int>(copy.size())), c.action)
        << c.what;
  }
}

TEST_F(TftpServer, ListenerNeverReadsANameBeyondTheDatagram) {
  // The right name followed by a NUL in the buffer, but outside the datagram.
  char buffer[TFTP_PACKET_SIZE] = {0, 1};
  std::strcpy(buffer + 2, NAME);
  int without_nul = 2 + static_cast<int>(std::strlen(NAME));
  EXPECT_EQ(classify_listener_datagram(buffer, without_nul), LISTENER_DROP);
  EXPECT_EQ(classify_listener_datagram(buffer, without_nul + 1), LISTENER_SERVE);

  // A full-size datagram without any NUL.
  std::memset(buffer + 2, 'q', sizeof buffer - 2);
  EXPECT_EQ(classify_listener_datagram(buffer, sizeof buffer), LISTENER_DROP);

  EXPECT_EQ(classify_listener_datagram(buffer, 0), LISTENER_IDLE);
  EXPECT_EQ(classify_listener_datagram(buffer, -1), LISTENER_IDLE);
}

// ---- one datagram during a transfer ----

TEST_F(TftpServer, TransferReadsOnlyWholeAcknowledgementsFromThePeer) {
  TftpSession s{};
  s.peer_address = LOOPBACK;
  s.peer_port = 5000;
  s.current_block = 1;
  const unsigned char payload[TFTP_BLOCK_SIZE] = {};
  build_tftp_data(s.packet, payload, TFTP_BLOCK_SIZE, 1);  // the block just sent

  // Three bytes of an ACK over the DATA packet: the stale fourth byte would
  // make it an ACK of block 1.
  std::memcpy(s.packet, "\0\4\0", 3);
  EXPECT_EQ(classify_transfer_datagram(&s, 3, LOOPBACK, 5000), TRANSFER_IGNORED);
  EXPECT_EQ(classify_transfer_datagram(&s, 4, LOOPBACK, 5000), TRANSFER_MATCHING_ACK);
  EXPECT_EQ(classify_transfer_datagram(&s, 0, LOOPBACK, 5000), TRANSFER_NOTHING);
  EXPECT_EQ(classify_transfer_datagram(&s, -1, LOOPBACK, 5000), TRANSFER_NOTHING);

  EXPECT_EQ(classify_transfer_datagram(&s, 4, LOOPBACK + 1, 5000), TRANSFER_IGNORED);
  EXPECT_EQ(classify_transfer_datagram(&s, 4, LOOPBACK, 5001), TRANSFER_IGNORED);

  std::memcpy(s.packet, "\0\4\0\0", 4);
  EXPECT_EQ(classify_transfer_datagram(&s, 4, LOOPBACK, 5000), TRANSFER_OTHER_ACK);
  std::memcpy(s.packet, "\0\5\0\1", 4);  // an ERROR is no acknowledgement
  EXPECT_EQ(classify_transfer_datagram(&s, 4, LOOPBACK, 5000), TRANSFER_IGNORED);

  // Block 65,536 goes out as 0; no acknowledgement can match it any more.
  s.current_block = 65536;
  std::memcpy(s.packet, "\0\4\0\0", 4);
  EXPECT_EQ(classify_transfer_datagram(&s, 4, LOOPBACK, 5000), TRANSFER_OTHER_ACK);
}

// ---- transfers on the wire ----

// Each stage's image goes out as the OACK, then blocks 1, 2, ... of 512 bytes
// up to a shorter last one (empty after a whole block), each after the ACK of
// the one before, and nothing after the last ACK. The upload dialog counts
// the blocks and bytes acknowledged.
TEST_F(TftpServer, ServesTheStagesImageInBlocksUpToAShortOne) {
  const std::string target = "Uploading Target Firmware to QEL@192.168.2.110 ";
  const struct {
    std::uint32_t stage;
    std::uint32_t size;
    int blocks;
    std::size_t last_block;
    std::string last_caption;
    std::size_t captions;  // the template's, then one per ACK that changes the count
  } cases[] = {
      {STAGE_TARGET, 871243, 1702, 331, target + "871243/871243 Bytes", 1 + 1703},
      {STAGE_TARGET, 1024, 3, 0, target + "1024/1024 Bytes", 1 + 3},
      {STAGE_TARGET, 0, 1, 0, target + "0/0 Bytes", 1 + 1},
      {STAGE_TRANSITION, 700, 2, 188,
       "Uploading Transition Firmware to QEL@192.168.2.110 700/700 Bytes", 1 + 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes");
    bool target_stage = c.stage == STAGE_TARGET;
    use_image(&target_image, target_stage ? c.size : 2000);
    use_image(&transition_image, target_stage ? 900 : c.size, "5.1.8");
    wizard.upgrade_stage = c.stage;
    Transfer t;
    t.start();
    std::vector<Bytes> blocks = download(&t, c.size);
    t.finish();
    ASSERT_EQ(blocks.size(), static_cast<std::size_t>(c.blocks));
    EXPECT_EQ(blocks.back().size(), 4 + c.last_block);
    Bytes received;
    for (const Bytes& b : blocks) received.insert(received.end(), b.begin() + 4, b.end());
    const FirmwareImage& image = target_stage ? target_image : transition_image;
    EXPECT_TRUE(received == Bytes(image.data, image.data + image.size));
    EXPECT_EQ(t.transfer_failed, 0);
    EXPECT_TRUE(t.quiet()) << "nothing follows the last acknowledgement";

    DialogRecord upload = frontend_.dialogs(IDD_UPLOAD).back();
    EXPECT_EQ(upload.captions.front(), "Uploading Firmware To QEL") << "the template's own";
    EXPECT_EQ(upload.captions.back(), c.last_caption);
    EXPECT_EQ(upload.captions.size(), c.captions);
    EXPECT_EQ(upload.range_high, c.blocks);
    std::vector<int> steps(static_cast<std::size_t>(c.blocks) + 1);
    for (std::size_t k = 0; k < steps.size(); ++k) steps[k] = static_cast<int>(k);
    EXPECT_EQ(upload.positions, steps) << "one step per block, none beyond the range";
    EXPECT_TRUE(upload.closed);
  }
}

// The dialog shows the bytes acknowledged: after the ACKs of blocks 0 to 3,
// 0, 512, 1024 and 1024 again, which is no change.
TEST_F(TftpServer, UploadCaptionCountsTheBytesAcknowledged) {
  use_image(&target_image, 1024);
  Transfer t;
  t.start();
  download(&t, 1024);
  t.finish();
  const std::string prefix = "Uploading Target Firmware to QEL@192.168.2.110 ";
  EXPECT_EQ(upload_captions(),
            (std::vector<std::string>{"Uploading Firmware To QEL", prefix + "0/1024 Bytes",
                                      prefix + "512/1024 Bytes", prefix + "1024/1024 Bytes"}));
}

// Anything that is not the peer's ACK of the outstanding block must neither
// advance the transfer nor make it resend early.
TEST_F(TftpServer, StrayDatagramsDoNotAdvanceTheTransfer) {
  use_image(&target_image, 3000);
  seam_set_clock(10.0, 0);  // a resend every 156 ms
  Transfer t;
  t.start();
  ASSERT_EQ(opcode_of(t.next()), TFTP_OACK);
  t.send(tftp_ack(0));
  Bytes block1 = t.next();
  ASSERT_EQ(block_of(block1), 1);

  // Three bytes of an ACK of block 1: not an acknowledgement.
  t.send(Bytes{0, 4, 0});
  EXPECT_EQ(t.next(), block1) << "the resend of block 1, not block 2";

  // The right ACK from the device's address but another port.
  std::uint16_t other_port = 0;
  int other = bind_udp(0, &other_port);
  ASSERT_GE(other, 0);
  send_to(other, tftp_ack(1), t.server_port);
  EXPECT_EQ(t.next(), block1);
  EXPECT_TRUE(receive(other, 0).empty()) << "nothing goes to a stranger";
  ::close(other);

  // A new read request from the peer does not restart the transfer.
  t.send(tftp_rrq(NAME));
  EXPECT_EQ(t.next(), block1) << "no OACK again";

  t.send(tftp_ack(1));
  Bytes block2 = t.next();
  EXPECT_EQ(block_of(block2), 2);
  EXPECT_TRUE(std::equal(block2.begin() + 4, block2.end(), target_image.data + 512));

  // 150 duplicates of ACK 1, then ACK 2: duplicates are no idle passes, so
  // no resend of block 2 comes before block 3.
  for (int i = 0; i < 150; ++i) t.send(tftp_ack(1));
  t.send(tftp_ack(2));
  EXPECT_EQ(block_of(t.next()), 3);
  // Nor do they advance it: block 3 waits for its own ACK (a resend would
  // come only after 100 idle passes of a tick, 156 ms here).
  Bytes early = receive(t.device, 50);
  EXPECT_TRUE(early.empty()) << "block " << block_of(early);

  for (std::uint16_t b = 3; b <= 6; ++b) {
    t.send(tftp_ack(b));
    if (b < 6) {
      EXPECT_EQ(block_of(t.next()), b + 1);
    }
  }
  t.finish();
  EXPECT_EQ(t.transfer_failed, 0);
}

TEST_F(TftpServer, SilentPeerGetsTheOackThirtyTimesThenTheTransferFails) {
  use_image(&target_image, 1024);
  seam_set_clock(50.0, 0);
  std::uint32_t start = clock_ms();
  Transfer t;
  t.start();
  std::vector<std::uint32_t> oacks;  // when each arrived
  for (int slices = 0; slices < 1000; ++slices) {
    bool finished = t.done;  // what it sent before finishing is queued by now
    for (Bytes p = receive(t.device, finished ? 0 : 10); !p.empty(); p = receive(t.device, 0)) {
      EXPECT_EQ(p, tftp_oack(1024u));
      oacks.push_back(clock_ms());
    }
    if (finished) break;
  }
  t.finish();
  std::uint32_t elapsed = clock_ms() - start;
  EXPECT_EQ(oacks.size(), 30u) << "the first and 29 resends";
  EXPECT_EQ(t.transfer_failed, 1);
  // 3,000 idle passes of a tick (15.625 ms), the first of them maybe short.
  EXPECT_GE(elapsed, (3000u - 1u) * 15625u / 1000u) << "given up before 3,000 ticks";
  EXPECT_EQ(first_early_resend(oacks, start, 1000.0 / CLOCK_TICKS_PER_SECOND, TFTP_RESEND_POLLS),
            -1)
      << "an OACK resent before 100 idle passes of a tick";
  EXPECT_EQ(upload_captions(), (std::vector<std::string>{"Uploading Firmware To QEL"}))
      << "the caption changes only with an acknowledgement";
}

TEST_F(TftpServer, MatchingAcknowledgementRestartsTheResendCount) {
  use_image(&target_image, 1024);
  seam_set_clock(100.0, 0);
  Transfer t;
  t.start();
  // 15 resends of every packet: 60 in all, far beyond 29, and still no failure.
  Bytes first = t.next();
  ASSERT_EQ(opcode_of(first), TFTP_OACK);
  for (std::uint16_t block = 0; block <= 3; ++block) {
    for (int resend = 0; resend < 15; ++resend) {
      Bytes again = t.next();
      ASSERT_EQ(again, first) << "resend " << resend << " of block " << block;
    }
    t.send(tftp_ack(block));
    if (block == 3) break;
    // Resends of the previous packet may still be on their way.
    do first = t.next();
    while (!::testing::Test::HasFailure() && block_of(first) != block + 1);
    ASSERT_EQ(opcode_of(first), TFTP_DATA);
  }
  t.finish();
  EXPECT_EQ(t.transfer_failed, 0);
}

// A device that falls silent for 40 s mid-transfer (a busy device, a cable
// pulled and put back) and then answers the resent block still gets the
// whole image: the server resends for about 47 s before it gives up.
TEST_F(TftpServer, DeviceSilentForFortySecondsThenBackCompletesTheTransfer) {
  use_image(&target_image, 2000);
  seam_set_clock(10.0, 0);
  Transfer t;
  t.start();
  ASSERT_EQ(opcode_of(t.next()), TFTP_OACK);
  t.send(tftp_ack(0));
  ASSERT_EQ(block_of(t.next()), 1);
  t.send(tftp_ack(1));
  Bytes block2 = t.next();
  ASSERT_EQ(block_of(block2), 2);

  // Silence, in the program's time; block 2 comes again and again.
  int resends = 0;
  std::uint32_t silent_from = clock_ms();
  while (clock_ms() - silent_from < 40000 && !t.done) {
    Bytes p = receive(t.device, 10);
    if (p.empty()) continue;
    EXPECT_EQ(p, block2);
    ++resends;
  }
  ASSERT_FALSE(t.done) << "given up within 40 s, after " << resends << " resends";
  EXPECT_GT(resends, 0);

  t.send(tftp_ack(2));
  Bytes next;
  do next = t.next();  // a resend of block 2 may still be on its way
  while (!::testing::Test::HasFailure() && block_of(next) == 2);
  ASSERT_EQ(block_of(next), 3);
  t.send(tftp_ack(3));
  ASSERT_EQ(t.next().size(), 4u + 2000u - 3u * 512u);
  t.send(tftp_ack(4));
  t.finish();
  EXPECT_EQ(t.transfer_failed, 0);
  EXPECT_EQ(upload_captions().back(),
            "Uploading Target Firmware to QEL@192.168.2.110 2000/2000 Bytes");
}

TEST_F(TftpServer, CancelDuringTheTransferEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  use_image(&target_image, 1024);
  EXPECT_EXIT(
      {
        frontend_.cancel_template = IDD_UPLOAD;
        Transfer t;
        t.start();
        for (int i = 0; i < 3; ++i) t.next();  // a silent device
      },
      ::testing::ExitedWithCode(0), "QEL Firwmare Upgrade Error: Upgrade Failed: User Abort");
}

// ---- the wait after a transfer ----

TEST_F(TftpServer, FailedTransferWaitsAcrossTheClockWrapThenReports) {
  // 32 ms ticks run 100 times faster, starting about 60 ticks before the
  // 32-bit millisecond clock wraps.
  seam_set_clock(100.0, 0);
  seam_set_clock(100.0, 0u - 2000u - clock_ms());
  TftpSession session{};
  session.upload_dialog = dialog_create(wizard.app_instance, IDD_UPLOAD, abort_dialog_proc);
  dialog_show(session.upload_dialog);
  session.server_address = LOOPBACK;
  session.peer_address = LOOPBACK;

  std::uint32_t before = clock_ms();
  int result = verify_upgrade(&session, 1);
  std::uint32_t after = clock_ms();

  EXPECT_EQ(result, VERIFY_UPLOAD_INCOMPLETE);
  ASSERT_LT(after, before) << "the clock did not wrap during the wait";
  std::uint32_t ticks = ((after >> 5) + (1u << 27) - (before >> 5)) & ((1u << 27) - 1);
  EXPECT_GE(ticks, 937u);
  EXPECT_LT(ticks, 937u + 300u) << "the wait ran on long after 937 ticks";

  std::vector<DialogRecord> uploads = frontend_.dialogs(IDD_UPLOAD);
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].captions.back(), "Updating Target Firmware to QEL@192.168.2.110");
  EXPECT_EQ(uploads[0].range_high, 937);
  ASSERT_GE(uploads[0].positions.size(), 20u);
  for (std::size_t i = 1; i < uploads[0].positions.size(); ++i)
    ASSERT_GT(uploads[0].positions[i], uploads[0].positions[i - 1]) << "at " << i;
  EXPECT_EQ(uploads[0].positions.back(), 937) << "the bar fills";
  EXPECT_TRUE(uploads[0].closed);
  EXPECT_EQ(session.upload_dialog, nullptr);
  EXPECT_EQ(frontend_.boxes(),
            (std::vector<std::string>{
                "QEL Firwmare Upgrade Error: Upgrade Failed: Firmware Upload Incomplete"}));
  for (const DialogRecorder::Event& e : frontend_.events())
    EXPECT_NE(e.second, IDD_CONNECTING) << "no device query after a failed upload";
}

TEST_F(TftpServer, WaitCaptionNamesTheTransitionStage) {
  seam_set_clock(1000.0, 0);
  wizard.upgrade_stage = STAGE_TRANSITION;
  TftpSession session{};
  session.upload_dialog = dialog_create(wizard.app_instance, IDD_UPLOAD, abort_dialog_proc);
  dialog_show(session.upload_dialog);
  EXPECT_EQ(verify_upgrade(&session, 1), VERIFY_UPLOAD_INCOMPLETE);
  EXPECT_EQ(upload_captions().back(), "Updating Transition Firmware to QEL@192.168.2.110");
}

}  // namespace

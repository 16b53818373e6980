// The idle passes of the TFTP listener and transfer. A pass lasts one tick
// of the platform's timer (15.625 ms) unless what it waits for arrives: the
// read request, or the acknowledgement of the packet outstanding, is answered
// at once. Any other datagram is read as it comes but neither ends the pass
// nor counts as one, so a flood of them can neither hurry the resends, the
// give-up or the waiting dialog's bar, nor keep a dead transfer alive.
//
// In the first two tests the clock runs 10,000 times slower, so one tick
// lasts 156 s of real time. Only a wait that ends when the datagram arrives
// can answer within the seconds these tests allow; a plain sleep could not.
// They run in a child process (a death test) so that a server stuck in such
// a wait cannot hold up the rest of the suite; so do the listener's other
// tests, whose thread never ends.
#include "resources/ids.h"
#include "tftp/tftp.h"

#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

const char NAME[] = "/qel2c4e.bi1";
constexpr double SLOW_CLOCK = 1e-4;     // 1 ms of the program's time = 10 s
constexpr int ANSWER_WITHIN_MS = 3000;  // far less than one slowed tick
constexpr double TICK_MS = 1000.0 / CLOCK_TICKS_PER_SECOND;
constexpr int CHILD_SECONDS = 60;  // a child that hangs is killed

// The datagrams that are no read request for the listener, and no
// acknowledgement of the outstanding packet for a transfer: other blocks'
// acknowledgements, an error, a write request, a wrong name, datagrams too
// short for an opcode or a block number, and one too long for the server to
// read (which must not count even though it starts as an ACK of block 0).
std::vector<Bytes> strays() {
  Bytes too_long = {0, 4, 0, 0};
  too_long.resize(1500, 0xab);
  std::string wrong_name = std::string("\0\1/qel0.bi1\0octet\0", 18);
  return {{0, 4, 0, 7},
          {0, 5, 0, 1, 'n', 'o', 0},
          {0, 2, '/', 'x', 0, 'o', 0},
          Bytes(wrong_name.begin(), wrong_name.end()),
          {0},
          {0, 4, 0},
          too_long};
}

// Bytes of the next datagram waiting on the socket; 0 when none is.
int waiting_bytes(int fd) {
  int bytes = 0;
  return ::ioctl(fd, FIONREAD, &bytes) == 0 ? bytes : -1;
}

// ---- where the server thread is ----

// True while the thread is blocked in a system call that waits for a file
// descriptor. A plain sleep (nanosleep) is not such a wait.
bool waiting_on_descriptor(pid_t tid) {
  std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long number = -1;
  if (!(file >> number)) return false;  // "running"
  for (long wait : {
#ifdef SYS_poll
           static_cast<long>(SYS_poll),
#endif
#ifdef SYS_select
           static_cast<long>(SYS_select),
#endif
#ifdef SYS_epoll_wait
           static_cast<long>(SYS_epoll_wait),
#endif
           static_cast<long>(SYS_ppoll), static_cast<long>(SYS_pselect6),
           static_cast<long>(SYS_epoll_pwait)})
    if (number == wait) return true;
  return false;
}

// Waits (up to 5 s) until the thread (once it has told its id) sits in its
// wait for the socket.
bool until_waiting(const std::atomic<pid_t>& tid) {
  for (int i = 0; i < 5000; ++i) {
    if (tid != 0 && waiting_on_descriptor(tid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class TftpWait : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    saved_target_ = target_image;
    saved_stage_ = wizard.upgrade_stage.load();
    image_ = build_firmware_image({"qel5300", "5.2.5", 1024, 7});
    target_image = FirmwareImage{image_.data(), 1024, {}};
    std::memcpy(&target_image.header, image_.data(), FIRMWARE_HEADER_SIZE);
    wizard.upgrade_stage = STAGE_TARGET;
    std::strcpy(wizard.device_address_text, "127.0.0.1");
    set_request_file_name(NAME);
    frontend_install(&frontend_);
  }
  void TearDown() override {
    seam_set_clock(1.0, 0);
    frontend_install(nullptr);
    target_image = saved_target_;
    wizard.upgrade_stage = saved_stage_;
  }

  // The bodies of the death tests, run in the child.
  [[noreturn]] void transfer_child();
  [[noreturn]] void listener_child();
  [[noreturn]] void listener_flood_child();

  // A death-test child tells its parent what went wrong only through its
  // standard error and its exit code.
  void problem(const std::string& text) { problems_ += text + "\n"; }
  [[noreturn]] void end_child() {
    std::fputs(problems_.c_str(), stderr);
    std::fflush(nullptr);
    std::_Exit(problems_.empty() ? 0 : 1);
  }
  std::string problems_;

  DialogRecorder frontend_;
  Bytes image_;
  FirmwareImage saved_target_{};
  std::uint32_t saved_stage_ = STAGE_TARGET;
};

// Every acknowledgement reaches a server that sits in its idle wait, and the
// next packet comes back long before that wait could have run out.
void TftpWait::transfer_child() {
  ::alarm(CHILD_SECONDS);
  seam_set_clock(SLOW_CLOCK, 0);
  std::uint16_t device_port = 0;
  std::uint16_t server_port = 0;
  int device = bind_udp(0, &device_port);
  int server = bind_udp(0, &server_port);
  std::atomic<pid_t> server_tid{0};
  std::atomic<int> transfer_failed{-1};
  std::thread([&] {
    server_tid = ::gettid();
    int failed = -1;
    std::free(run_tftp_session(static_cast<NetSocket>(server), LOOPBACK, server_port, LOOPBACK,
                               device_port, NAME, &failed));
    transfer_failed = failed;
  }).detach();

  Bytes packet = receive(device, ANSWER_WITHIN_MS);
  if (opcode_of(packet) != TFTP_OACK) problem("no OACK");
  // OACK, blocks 1 and 2 of 512 bytes, then the empty block 3.
  for (std::uint16_t block = 0; block <= 3 && problems_.empty(); ++block) {
    if (!until_waiting(server_tid)) problem("the server never waited for its socket");
    send_to(device, tftp_ack(block), server_port);
    if (block == 3) break;
    packet = receive(device, ANSWER_WITHIN_MS);
    if (opcode_of(packet) != TFTP_DATA || block_of(packet) != block + 1)
      problem("no DATA " + std::to_string(block + 1) + " in time after the ACK of " +
              std::to_string(block));
  }
  for (int i = 0; i < ANSWER_WITHIN_MS && transfer_failed == -1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (transfer_failed != 0) problem("the transfer did not complete in time");
  end_child();
}

TEST_F(TftpWait, AcknowledgementEndsTheTransferWaitAtOnce) {
  EXPECT_EXIT(transfer_child(), ::testing::ExitedWithCode(0), "");
}

// The listener: the read request ends its wait at once. A dropped datagram
// wakes it too, but it goes back to the same wait: the pass is not over, so
// the bar does not move.
void TftpWait::listener_child() {
  ::alarm(CHILD_SECONDS);
  seam_set_clock(SLOW_CLOCK, 0);
  std::uint16_t device_port = 0;
  std::uint16_t listener_port = 0;
  int device = bind_udp(0, &device_port);
  auto* listener = static_cast<TftpListener*>(std::calloc(1, sizeof(TftpListener)));
  int listener_fd = bind_udp(0, &listener_port);
  listener->socket = static_cast<NetSocket>(listener_fd);
  listener->address = LOOPBACK;
  listener->port = listener_port;
  std::atomic<pid_t> listener_tid{0};
  std::thread([&] {
    listener_tid = ::gettid();
    tftp_listener_thread(listener);
  }).detach();

  auto expect_positions = [&](const std::vector<int>& expected, const char* when) {
    std::vector<int> seen = frontend_.positions(IDD_WAITING);
    if (seen == expected) return;
    std::string text;
    for (int p : seen) text += " " + std::to_string(p);
    problem(std::string(when) + ": the bar went through" + text);
  };
  if (!until_waiting(listener_tid)) problem("the listener never waited for its socket");
  expect_positions({0}, "before the first wait ended");

  for (const Bytes& stray : strays()) send_to(device, stray, listener_port);
  bool read = false;
  for (int i = 0; i < ANSWER_WITHIN_MS && !read; ++i) {
    read = waiting_bytes(listener_fd) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!read) problem("the dropped datagrams were not read");
  if (!until_waiting(listener_tid)) problem("the listener did not wait again");
  expect_positions({0}, "after the dropped datagrams");
  if (receive(device, 0).size() != 0) problem("a dropped datagram got a reply");

  send_to(device, tftp_rrq(NAME), listener_port);
  if (opcode_of(receive(device, ANSWER_WITHIN_MS)) != TFTP_OACK)
    problem("the read request was not answered in time");
  expect_positions({0}, "after the read request");
  end_child();
}

TEST_F(TftpWait, ListenerWaitEndsForTheReadRequestOnly) {
  EXPECT_EXIT(listener_child(), ::testing::ExitedWithCode(0), "");
}

// Dropped datagrams, many per tick, for half a second: the bar still moves
// one step per tick at most, and it keeps moving.
void TftpWait::listener_flood_child() {
  ::alarm(CHILD_SECONDS);
  seam_set_clock(1.0, 0);
  std::uint16_t device_port = 0;
  std::uint16_t listener_port = 0;
  int device = bind_udp(0, &device_port);
  auto* listener = static_cast<TftpListener*>(std::calloc(1, sizeof(TftpListener)));
  listener->socket = static_cast<NetSocket>(bind_udp(0, &listener_port));
  listener->address = LOOPBACK;
  listener->port = listener_port;
  std::uint32_t first_tick = clock_tick();
  std::thread([&] { tftp_listener_thread(listener); }).detach();

  std::vector<Bytes> flood = strays();
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  for (std::size_t i = 0; std::chrono::steady_clock::now() < end; ++i) {
    send_to(device, flood[i % flood.size()], listener_port);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  std::vector<int> positions = frontend_.positions(IDD_WAITING);
  std::uint32_t ticks = clock_tick() - first_tick;
  auto steps = static_cast<std::uint32_t>(positions.size() - 1);  // the first is the opening 0
  if (steps > ticks + 1)
    problem(std::to_string(steps) + " steps of the bar in " + std::to_string(ticks) + " ticks");
  if (steps < ticks / 4)
    problem("the bar stalled: " + std::to_string(steps) + " steps in " + std::to_string(ticks) +
            " ticks");
  if (receive(device, 0).size() != 0) problem("a dropped datagram got a reply");
  end_child();
}

TEST_F(TftpWait, DroppedDatagramsDoNotHurryTheWaitingBar) {
  EXPECT_EXIT(listener_flood_child(), ::testing::ExitedWithCode(0), "");
}

// A peer that keeps sending what the transfer ignores (acknowledgements of
// another block among them, and the same from another port) wakes the
// server's waits again and again. None of it counts, and none of it ends an
// idle pass: the OACK is resent 29 times, the k-th no sooner than k * 100
// passes of a tick, and the transfer fails while the datagrams still flow,
// no sooner than 3,000 passes would.
TEST_F(TftpWait, StraysNeitherHurryNorKeepAliveADeadTransfer) {
  seam_set_clock(20, 0);
  std::uint16_t device_port = 0;
  std::uint16_t other_port = 0;
  std::uint16_t server_port = 0;
  int device = bind_udp(0, &device_port);
  int other = bind_udp(0, &other_port);
  int server = bind_udp(0, &server_port);
  ASSERT_GE(device, 0);
  ASSERT_GE(other, 0);
  ASSERT_GE(server, 0);
  std::atomic<bool> done{false};
  int transfer_failed = -1;
  std::uint32_t start = clock_ms();
  std::atomic<std::uint32_t> end{0};
  std::thread transfer([&] {
    TftpSession* session = run_tftp_session(static_cast<NetSocket>(server), LOOPBACK, server_port,
                                            LOOPBACK, device_port, NAME, &transfer_failed);
    end = clock_ms();
    dialog_destroy(session->upload_dialog);
    std::free(session);
    done = true;
  });

  // One datagram about every 200 us, a few per tick (0.8 ms at this clock),
  // for at most 20 s; 3,000 ticks take 2.3 s.
  std::vector<Bytes> flood = strays();
  flood.push_back(tftp_ack(0));      // the right ACK, but from another port
  std::vector<std::uint32_t> oacks;  // when each arrived
  int others = 0;
  auto count = [&](const Bytes& packet) {
    if (opcode_of(packet) == TFTP_OACK)
      oacks.push_back(clock_ms());
    else
      ++others;
  };
  auto flood_end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (std::size_t i = 0; !done && std::chrono::steady_clock::now() < flood_end; ++i) {
    std::size_t which = i % flood.size();
    send_to(which + 1 == flood.size() ? other : device, flood[which], server_port);
    for (Bytes p = receive(device, 0); !p.empty(); p = receive(device, 0)) count(p);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  bool failed_during_flood = done;
  transfer.join();
  for (Bytes p = receive(device, 0); !p.empty(); p = receive(device, 0)) count(p);
  ::close(device);
  ::close(other);
  ::close(server);

  EXPECT_TRUE(failed_during_flood) << "the transfer outlived 20 s of stray datagrams";
  EXPECT_EQ(transfer_failed, 1);
  EXPECT_EQ(oacks.size(), 30u) << "the first and 29 resends";
  EXPECT_EQ(others, 0);
  EXPECT_EQ(first_early_resend(oacks, start, TICK_MS, TFTP_RESEND_POLLS), -1)
      << "an OACK resent before 100 idle passes of a tick";
  // The first pass may start anywhere in its tick.
  EXPECT_GE(end - start,
            static_cast<std::uint32_t>((TFTP_RESEND_POLLS * TFTP_MAX_EXPIRIES - 1) * TICK_MS))
      << "given up before 3,000 idle passes of a tick";
}

}  // namespace

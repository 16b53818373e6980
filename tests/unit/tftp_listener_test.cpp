// The TFTP listener on its real ports (69..168), the device queries after a
// transfer (port 80), and real TFTP clients downloading from the listener.
//
// These ports need root, and the listener ends the process after a Target
// transfer: each test therefore runs itself again in a child process inside a
// private network namespace (loopback only) and checks how that child ended.
// Without the right to create a namespace the tests are skipped.
#include "resources/ids.h"
#include "tftp/tftp.h"
#include "ui/ui.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <linux/capability.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/app.h"
#include "firmware/firmware.h"
#include "http/http.h"
#include "platform/portable/frontend.h"
#include "platform/posix/seams.h"
#include "platform/process.h"
#include "resources/image_builder.h"
#include "support/dialog_recorder.h"
#include "support/udp_peer.h"

extern char** environ;

namespace {

using namespace udp_peer;
using Clock = std::chrono::steady_clock;

const char NAME[] = "/qel1a2b.bi1";
const char ERROR_TITLE[] = "QEL Firwmare Upgrade Error: ";

// ---- running a test again inside a private network namespace ----

const char CHILD_MARK[] = "QEL_TFTP_PRIVATE_NETWORK";
constexpr int CHILD_NO_NAMESPACE = 97;
constexpr int CHILD_NO_LOOPBACK = 98;
constexpr int CHILD_NO_EXEC = 99;

bool in_private_network() { return std::getenv(CHILD_MARK) != nullptr; }

struct ChildRun {
  int status = -1;  // exit code; -1 when it ended by a signal
  bool timed_out = false;
  std::string output;  // stdout and stderr together
};

// Output of a child process until it ends or the time is up (then it is killed).
void collect(pid_t pid, int from, int timeout_ms, ChildRun* run) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char chunk[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      run->timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd p{from, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = ::read(from, chunk, sizeof chunk);
    if (n <= 0) break;
    run->output.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(from);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run->status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ChildRun run_current_test_in_private_network(int timeout_ms) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string filter =
      std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  std::string color = "--gtest_color=no";
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "GTEST_", 6) != 0) environment.push_back(*e);  // no XML report of its own
  environment.push_back(std::string(CHILD_MARK) + "=1");
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, filter.data(), color.data(), nullptr};

  ChildRun run;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return run;
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only system calls between fork and exec: other threads may hold locks.
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    if (::unshare(CLONE_NEWNET) != 0) ::_exit(CHILD_NO_NAMESPACE);
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback{};
    std::memcpy(loopback.ifr_name, "lo", 3);
    if (s < 0 || ::ioctl(s, SIOCGIFFLAGS, &loopback) != 0) ::_exit(CHILD_NO_LOOPBACK);
    loopback.ifr_flags = static_cast<short>(loopback.ifr_flags | IFF_UP);
    if (::ioctl(s, SIOCSIFFLAGS, &loopback) != 0) ::_exit(CHILD_NO_LOOPBACK);
    ::execve(self, argv, envp.data());
    ::_exit(CHILD_NO_EXEC);
  }
  ::close(out[1]);
  if (pid < 0) {
    ::close(out[0]);
    return run;
  }
  collect(pid, out[0], timeout_ms, &run);
  return run;
}

// How the child must have ended: exit code 0, every text present, and no
// assertion failed on the way (gtest prints each failure as it happens).
void check_child(const ChildRun& run, const std::vector<std::string>& texts) {
  if (run.status == CHILD_NO_NAMESPACE)
    GTEST_SKIP() << "cannot create a network namespace (needs root or CAP_SYS_ADMIN)";
  ASSERT_NE(run.status, CHILD_NO_LOOPBACK) << "loopback in the new namespace cannot be set up";
  ASSERT_FALSE(run.timed_out) << "the child did not end in time:\n" << run.output;
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.find(": Failure"), std::string::npos) << run.output;
  for (const std::string& text : texts)
    EXPECT_NE(run.output.find(text), std::string::npos) << "missing \"" << text << "\" in:\n"
                                                        << run.output;
}

// The first statement of every test here: in the parent it runs the test in
// a child and returns from the test body; in the child it does nothing.
#define RUN_IN_PRIVATE_NETWORK(timeout_ms, ...)                                    \
  do {                                                                             \
    if (!in_private_network()) {                                                   \
      check_child(run_current_test_in_private_network(timeout_ms), {__VA_ARGS__}); \
      return;                                                                      \
    }                                                                              \
    child_setup();                                                                 \
  } while (0)

const char CHILD_DONE[] = "child: device side done";
const char EXITED[] = "process_exit(0)";

void report_exit(int code) {
  std::printf("process_exit(%d)\n", code);
  std::fflush(stdout);
}

void child_setup() {
  process_set_exit_hook(report_exit);
  wizard.upgrade_stage = STAGE_TARGET;
  phone_family = 0;
  std::strcpy(wizard.device_address_text, "127.0.0.1");
  set_request_file_name(NAME);
}

// Ends the child at once, the listener thread still running.
[[noreturn]] void child_end() {
  std::printf("%s\n", CHILD_DONE);
  std::fflush(nullptr);
  ::_exit(::testing::Test::HasFailure() ? 1 : 0);
}

// The device side is over: the process must now end from the listener thread
// (after the verification), with exit code 0.
[[noreturn]] void child_wait_for_listener_exit() {
  std::printf("%s\n", CHILD_DONE);
  std::fflush(nullptr);
  if (::testing::Test::HasFailure()) ::_exit(1);
  // 937 ticks run in a moment now, and queries to a closed port fail at once.
  seam_set_clock(1000.0, 0);
  std::this_thread::sleep_for(std::chrono::seconds(20));
  ADD_FAILURE() << "the listener did not end the process";
  std::fflush(nullptr);
  ::_exit(1);
}

// ---- the device's TFTP side ----

// Acknowledges the OACK (already received) and every block; returns the image.
Bytes download_after_oack(int fd, std::uint16_t server_port) {
  Bytes image;
  send_to(fd, tftp_ack(0), server_port);
  for (std::uint32_t block = 1;; ++block) {
    Bytes data = receive(fd, 5000);
    if (data.size() < 4 || data[1] != 3 ||
        static_cast<std::uint32_t>(data[2] << 8 | data[3]) != (block & 0xffff)) {
      ADD_FAILURE() << "expected DATA " << block << ", got " << data.size() << " bytes";
      return image;
    }
    image.insert(image.end(), data.begin() + 4, data.end());
    send_to(fd, tftp_ack(static_cast<std::uint16_t>(block)), server_port);
    if (data.size() < 4 + 512) return image;
  }
}

std::vector<Bytes> images;  // storage of the images a child serves

void use_image(FirmwareImage* image, std::uint32_t size, const char* version) {
  Bytes& bytes = images.emplace_back(build_firmware_image({"qel5300", version, size, size}));
  *image = FirmwareImage{bytes.data(), size, {}};
  std::memcpy(&image->header, bytes.data(), FIRMWARE_HEADER_SIZE);
}

bool same_image(const Bytes& received, const FirmwareImage& image) {
  return received.size() == image.size && std::memcmp(received.data(), image.data, image.size) == 0;
}

// ---- the listener ----

TEST(TftpListenerNetwork, ServesOnlyTheRequestedNameFromPort69) {
  RUN_IN_PRIVATE_NETWORK(60000, CHILD_DONE, EXITED,
                         std::string(ERROR_TITLE) + "Upgrade Failed: No Response From QEL");
  use_image(&target_image, 5000, "5.2.5");
  ASSERT_EQ(start_tftp_listener(LOOPBACK), 69);
  int device = bind_udp();
  ASSERT_GE(device, 0);

  const std::string name(NAME);
  const std::vector<Bytes> strays = {
      tftp_rrq("/qel1a2c.bi1"),
      tftp_rrq("/QEL1A2B.bi1"),
      tftp_rrq("qel1a2b.bi1"),
      tftp_packet(1, name),  // no NUL
      tftp_packet(2, name + std::string("\0octet\0", 7)),
      tftp_packet(3, std::string("\0\1data", 6)),
      tftp_packet(4, std::string("\0\0", 2)),
      tftp_packet(5, std::string("\0\1error\0", 8)),
      tftp_packet(0, name + '\0'),
      tftp_packet(6, name + '\0'),
      tftp_packet(300, name + '\0'),
      Bytes{0},
  };
  for (const Bytes& stray : strays) send_to(device, stray, 69);
  EXPECT_TRUE(receive(device, 300).empty()) << "a stray datagram got a reply";

  // Mode and options are not read: a netascii request with a block size and
  // a size that is no number is served with the one OACK, from the listening port.
  send_to(device,
          tftp_packet(1, name + std::string("\0netascii\0blksize\0"
                                            "1468\0tsize\0enable\0",
                                            36)),
          69);
  std::uint16_t from_port = 0;
  Bytes oack = receive(device, 5000, &from_port);
  EXPECT_EQ(oack, tftp_oack(5000));
  EXPECT_EQ(from_port, 69);
  EXPECT_TRUE(same_image(download_after_oack(device, 69), target_image));
  child_wait_for_listener_exit();
}

TEST(TftpListenerNetwork, TakesTheNextPortWhen69IsBusy) {
  RUN_IN_PRIVATE_NETWORK(30000, CHILD_DONE);
  use_image(&target_image, 600, "5.2.5");
  int taken = bind_udp(69);
  ASSERT_GE(taken, 0);
  ASSERT_EQ(start_tftp_listener(LOOPBACK), 70);
  int device = bind_udp();
  send_to(device, tftp_rrq(NAME), 70);
  std::uint16_t from_port = 0;
  EXPECT_EQ(receive(device, 5000, &from_port), tftp_oack(600));
  EXPECT_EQ(from_port, 70);
  child_end();
}

std::string this_program() {
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "";
}

// Takes CAP_NET_BIND_SERVICE out of this process's effective set.
bool drop_bind_capability() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  data[0].effective &= ~(1u << CAP_NET_BIND_SERVICE);
  return ::syscall(SYS_capset, &header, data) == 0;
}

// The message names this program's real path, on lines of their own, and
// gives the right to a group's members only, never to every user.
TEST(TftpListenerNetwork, PortsRefusedForWantOfPrivilegeSayHowToGrantIt) {
  const std::string program = this_program();
  RUN_IN_PRIVATE_NETWORK(
      30000, EXITED,
      "Upgrade Failed: Can't bind TFTP listener socket\r\n"
      "UDP ports 69-168 need root, or give this program the right once, for a group's members "
      "only (whoever runs it may take these ports on any address):\r\n"
      "sudo groupadd -f --system qel-upgrade\r\nsudo chown root:qel-upgrade " +
          program + "\r\nsudo chmod 750 " + program + "\r\nsudo setcap cap_net_bind_service=+ep " +
          program + "\r\nsudo usermod -aG qel-upgrade root\r\nThen log in again.");
  ASSERT_TRUE(drop_bind_capability());
  start_tftp_listener(LOOPBACK);
  ADD_FAILURE() << "the listener started without the right to bind its ports";
  child_end();
}

TEST(TftpListenerNetwork, AllHundredPortsTakenIsFatal) {
  RUN_IN_PRIVATE_NETWORK(
      30000, EXITED, std::string(ERROR_TITLE) + "Upgrade Failed: Can't bind TFTP listener socket");
  for (std::uint16_t port = 69; port <= 168; ++port) ASSERT_GE(bind_udp(port), 0);
  // 169 is free, but beyond the hundred ports tried.
  start_tftp_listener(LOOPBACK);
  ADD_FAILURE() << "the listener started";
  child_end();
}

TEST(TftpListenerNetwork, ThreadThatCannotStartIsReported) {
  RUN_IN_PRIVATE_NETWORK(30000, EXITED,
                         std::string(ERROR_TITLE) + "Upgrade Failed: Can't start TFTP listener");
  seam_fail_thread_start(true);
  start_tftp_listener(LOOPBACK);
  ADD_FAILURE() << "start_tftp_listener returned";
  child_end();
}

// A Transition transfer is followed by the Target stage on the same port: the
// listener switches the stage and shows the waiting dialog again (without
// its text), the old name is dead, the new one is served.
TEST(TftpListenerNetwork, TransitionStageThenTargetStageOnTheSamePort) {
  RUN_IN_PRIVATE_NETWORK(60000, CHILD_DONE, EXITED);
  static DialogRecorder dialogs;  // outlives the dialogs, which outlive the test
  frontend_install(&dialogs);
  use_image(&transition_image, 3000, "5.1.8");
  use_image(&target_image, 5000, "5.2.5");
  wizard.upgrade_stage = STAGE_TRANSITION;
  set_request_file_name("/qel1a2b.bi0");
  ASSERT_EQ(start_tftp_listener(LOOPBACK), 69);
  int device = bind_udp();

  send_to(device, tftp_rrq("/qel1a2b.bi0"), 69);
  ASSERT_EQ(receive(device, 5000), tftp_oack(3000));
  EXPECT_TRUE(same_image(download_after_oack(device, 69), transition_image));

  seam_set_clock(1000.0, 0);  // through the wait and the unanswered queries
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
  while (wizard.upgrade_stage.load() != STAGE_TARGET && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(wizard.upgrade_stage.load(), STAGE_TARGET);
  seam_set_clock(1.0, 0);
  set_request_file_name("/qel7fff.bi1");

  send_to(device, tftp_rrq("/qel1a2b.bi0"), 69);
  EXPECT_TRUE(receive(device, 300).empty()) << "the first stage's name is no longer served";
  send_to(device, tftp_rrq("/qel7fff.bi1"), 69);
  ASSERT_EQ(receive(device, 5000), tftp_oack(5000));
  EXPECT_TRUE(same_image(download_after_oack(device, 69), target_image));

  // Connecting dialogs of the unanswered queries come between.
  std::vector<DialogRecorder::Event> events;
  for (const DialogRecorder::Event& e : dialogs.events())
    if (e.second != IDD_CONNECTING) events.push_back(e);
  EXPECT_EQ(events, (std::vector<DialogRecorder::Event>{{"open", IDD_WAITING},
                                                        {"close", IDD_WAITING},
                                                        {"open", IDD_UPLOAD},
                                                        {"close", IDD_UPLOAD},
                                                        {"open", IDD_WAITING},
                                                        {"close", IDD_WAITING},
                                                        {"open", IDD_UPLOAD}}));
  std::vector<DialogRecord> waits = dialogs.dialogs(IDD_WAITING);
  ASSERT_EQ(waits.size(), 2u);
  EXPECT_EQ(waits[0].texts[IDC_WAITING_TEXT], TFTP_WAITING_TEXT);
  EXPECT_EQ(waits[1].texts[IDC_WAITING_TEXT], "") << "the second stage's wait has none";
  for (const DialogRecord& wait : waits) EXPECT_EQ(wait.range_high, 1000);
  std::vector<int> positions = dialogs.positions(IDD_WAITING);
  EXPECT_GT(*std::max_element(positions.begin(), positions.end()), 0) << "the bar moves";
  EXPECT_LT(*std::max_element(positions.begin(), positions.end()), 1000) << "and never fills";
  child_wait_for_listener_exit();
}

// ---- the device queries after a transfer (port 80 of the device) ----

// A web server on port 80 of 127.0.0.1 (or address) that closes the first
// connections unanswered and answers from connection number answer_from on
// (0: never).
struct WebDevice {
  std::uint32_t address = LOOPBACK;
  int listener = -1;
  int answer_from = 0;
  std::string page;
  std::atomic<int> connections{0};
  std::atomic<bool> stop{false};
  std::thread thread;

  void start() {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(80);
    int reuse = 1;  // the previous device's connections may linger in TIME_WAIT
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 16), 0);
    thread = std::thread([this] { serve(); });
  }

  void serve() {
    while (!stop) {
      pollfd p{listener, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int c = ::accept(listener, nullptr, nullptr);
      if (c < 0) continue;
      int number = ++connections;
      if (answer_from > 0 && number >= answer_from) {
        std::string request;
        char chunk[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
          ssize_t n = ::recv(c, chunk, sizeof chunk, 0);
          if (n <= 0) break;
          request.append(chunk, static_cast<std::size_t>(n));
        }
        ::send(c, page.data(), page.size(), MSG_NOSIGNAL);
      }
      ::close(c);
    }
  }

  ~WebDevice() {
    stop = true;
    if (thread.joinable()) thread.join();
    if (listener >= 0) ::close(listener);
  }
};

std::string info_page(const char* version) {
  return std::string(
             "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<table>"
             "<tr><td>Product Name:</td><td>QEL-5300</td></tr>"
             "<tr><td>Software Version:</td><td>") +
         version + "</td></tr></table>";
}

int verify_against(WebDevice* web, std::uint32_t stage, int transfer_failed,
                   const char* target_version = "5.2.5") {
  wizard.upgrade_stage = stage;
  use_image(&target_image, 1000, target_version);
  use_image(&transition_image, 1000, "5.1.8");
  seam_set_clock(1000.0, 0);
  web->start();
  TftpSession session{};
  session.upload_dialog = dialog_create(wizard.app_instance, IDD_UPLOAD, abort_dialog_proc);
  dialog_show(session.upload_dialog);
  session.server_address = LOOPBACK;
  session.peer_address = LOOPBACK;
  return verify_upgrade(&session, transfer_failed);
}

TEST(TftpVerifyNetwork, TenUnansweredQueriesAreReported) {
  RUN_IN_PRIVATE_NETWORK(30000, CHILD_DONE,
                         std::string(ERROR_TITLE) + "Upgrade Failed: No Response From QEL");
  WebDevice web;
  EXPECT_EQ(verify_against(&web, STAGE_TARGET, 0), VERIFY_NO_RESPONSE);
  EXPECT_EQ(web.connections.load(), 10);
  child_end();
}

TEST(TftpVerifyNetwork, DeviceThatAnswersTheThirdQueryWithTheVersionSucceeds) {
  RUN_IN_PRIVATE_NETWORK(30000, CHILD_DONE);
  WebDevice web;
  web.answer_from = 3;
  web.page = info_page("5.2.5");
  EXPECT_EQ(verify_against(&web, STAGE_TARGET, 0), VERIFY_SUCCEEDED);
  EXPECT_EQ(web.connections.load(), 3);
  child_end();
}

TEST(TftpVerifyNetwork, VersionIsComparedExactlyForAdapters) {
  RUN_IN_PRIVATE_NETWORK(30000, CHILD_DONE,
                         std::string(ERROR_TITLE) + "Upgrade Failed: Version not matching");
  {
    WebDevice web;
    web.answer_from = 1;
    web.page = info_page("5.2.5 ");
    EXPECT_EQ(verify_against(&web, STAGE_TARGET, 0), VERIFY_VERSION_MISMATCH);
    EXPECT_EQ(web.connections.load(), 1);
  }
  {
    WebDevice web;
    web.answer_from = 1;
    web.page = info_page("5.2.5RC1");
    EXPECT_EQ(verify_against(&web, STAGE_TARGET, 0, "5.2.5rc1"), VERIFY_VERSION_MISMATCH)
        << "letter case counts";
  }
  child_end();
}

TEST(TftpVerifyNetwork, TransitionStageExpectsTheTransitionVersionAndPhonesAnyVersion) {
  RUN_IN_PRIVATE_NETWORK(30000, CHILD_DONE);
  {
    WebDevice web;
    web.answer_from = 1;
    web.page = info_page("5.1.8");
    EXPECT_EQ(verify_against(&web, STAGE_TRANSITION, 0), VERIFY_SUCCEEDED);
  }
  {
    WebDevice web;
    web.answer_from = 1;
    web.page = info_page("0.0.1");
    phone_family = 1;
    EXPECT_EQ(verify_against(&web, STAGE_TARGET, 0), VERIFY_SUCCEEDED);
  }
  child_end();
}

WebDevice* typed_device = nullptr;
WebDevice* requesting_device = nullptr;

// Ends the child's output with how often each address was asked.
void report_queries(int code) {
  std::printf("typed address asked %d times, requesting address %d times\n",
              typed_device->connections.load(), requesting_device->connections.load());
  report_exit(code);
}

// The read request comes from another address than the one typed (another
// interface of the device, or another machine): it is served all the same,
// the transfer talks to that address, and the check after it asks that
// address too.
TEST(TftpListenerNetwork, ReadRequestFromAnotherAddressIsServedAndThatAddressChecked) {
  RUN_IN_PRIVATE_NETWORK(60000, CHILD_DONE, EXITED,
                         "typed address asked 0 times, requesting address 1 times");
  constexpr std::uint32_t TYPED = 0x7f000002;       // 127.0.0.2
  constexpr std::uint32_t REQUESTING = 0x7f000003;  // 127.0.0.3
  std::strcpy(wizard.device_address_text, "127.0.0.2");
  static WebDevice typed;  // both live until the process ends
  static WebDevice requesting;
  typed.address = TYPED;
  typed.answer_from = 1;
  typed.page = info_page("9.9.9");
  requesting.address = REQUESTING;
  requesting.answer_from = 1;
  requesting.page = info_page("5.2.5");
  typed.start();
  requesting.start();
  typed_device = &typed;
  requesting_device = &requesting;
  process_set_exit_hook(report_queries);
  use_image(&target_image, 1500, "5.2.5");
  ASSERT_EQ(start_tftp_listener(LOOPBACK), 69);

  int device = bind_udp(0, nullptr, REQUESTING);
  ASSERT_GE(device, 0);
  send_to(device, tftp_rrq(NAME), 69);
  ASSERT_EQ(receive(device, 5000), tftp_oack(1500));
  EXPECT_TRUE(same_image(download_after_oack(device, 69), target_image));
  child_wait_for_listener_exit();
}

// ---- real TFTP clients against the listener ----

struct Command {
  int status = -1;
  bool timed_out = false;
  std::string output;
};

// Runs a program with the input given on its standard input (small enough
// for the pipe), killing it when the time is up.
Command run_command(std::vector<std::string> arguments, int timeout_ms,
                    const std::string& input = "") {
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  Command result;
  int out[2];
  int in[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) return result;
  if (::write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
    return result;
  ::close(in[1]);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ChildRun run;
  collect(pid, out[0], timeout_ms, &run);
  result.status = run.status;
  result.timed_out = run.timed_out;
  result.output = run.output;
  return result;
}

bool have_program(const char* name) {
  return run_command({"sh", "-c", std::string("command -v ") + name}, 5000).status == 0;
}

Bytes read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes{std::istreambuf_iterator<char>(file), {}};
}

// A file name in a fresh directory, for one download.
std::string scratch_file() {
  char directory[] = "/tmp/qel-tftp-XXXXXX";
  if (!::mkdtemp(directory)) return "/tmp/qel-tftp-download";
  return std::string(directory) + "/image.bin";
}

void remove_scratch_file(const std::string& path) {
  ::unlink(path.c_str());
  ::rmdir(path.substr(0, path.rfind('/')).c_str());
}

// Starts the listener on port 69 with the shipped image; false (with a
// failure recorded) when that is not possible.
bool serve_shipped_image() {
  target_image = load_firmware_image(TARGET_IMAGE_RESOURCE);
  if (target_image.size != 871243) {
    ADD_FAILURE() << "the shipped image is missing";
    return false;
  }
  if (start_tftp_listener(LOOPBACK) != 69) {
    ADD_FAILURE() << "the listener is not on port 69";
    return false;
  }
  return true;
}

void download_with(std::vector<std::string> command) {
  if (!serve_shipped_image()) child_end();
  std::string path = scratch_file();
  for (std::string& a : command)
    if (a == "OUT") a = path;
  Command run = run_command(command, 60000);
  EXPECT_FALSE(run.timed_out) << run.output;
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(same_image(read_file(path), target_image)) << "not byte-identical\n" << run.output;
  remove_scratch_file(path);
  child_wait_for_listener_exit();
}

#define REQUIRE_PROGRAM(name)                                                \
  do {                                                                       \
    if (!have_program(name))                                                 \
      GTEST_SKIP() << name << " is not installed (Debian package " name ")"; \
  } while (0)

TEST(TftpClients, CurlDownloadsTheImage) {
  REQUIRE_PROGRAM("curl");
  RUN_IN_PRIVATE_NETWORK(120000, CHILD_DONE, EXITED);
  // Two slashes: curl drops the first one of the URL's path.
  download_with({"curl", "--silent", "--show-error", "--max-time", "50", "-o", "OUT",
                 "tftp://127.0.0.1:69//qel1a2b.bi1"});
}

TEST(TftpClients, AtftpDownloadsTheImageWithoutOptions) {
  REQUIRE_PROGRAM("atftp");
  RUN_IN_PRIVATE_NETWORK(120000, CHILD_DONE, EXITED);
  download_with({"atftp", "-g", "-r", NAME, "-l", "OUT", "127.0.0.1", "69"});
}

TEST(TftpClients, AtftpDownloadsTheImageAskingForTheSize) {
  REQUIRE_PROGRAM("atftp");
  RUN_IN_PRIVATE_NETWORK(120000, CHILD_DONE, EXITED);
  download_with({"atftp", "--option", "tsize 0", "--option", "timeout 3", "-g", "-r", NAME, "-l",
                 "OUT", "127.0.0.1", "69"});
}

// A block size the server leaves out of its OACK: the client falls back to
// 512. The tsize value goes out as the word "enable", which is never read.
TEST(TftpClients, AtftpDownloadsTheImageWhenItsBlockSizeIsDeclined) {
  REQUIRE_PROGRAM("atftp");
  RUN_IN_PRIVATE_NETWORK(120000, CHILD_DONE, EXITED);
  download_with({"atftp", "--option", "blksize 1428", "--option", "tsize enable", "-g", "-r", NAME,
                 "-l", "OUT", "127.0.0.1", "69"});
}

// tftp-hpa's client knows no OACK: it drops every one the server sends,
// repeats its request (which the server ignores) and gives up; the server
// gives up too. Driven through its prompt so that its own time-out (3 s)
// bounds the test.
TEST(TftpClients, TftpHpaCannotTakeTheUnrequestedOack) {
  REQUIRE_PROGRAM("tftp");
  RUN_IN_PRIVATE_NETWORK(120000, CHILD_DONE, EXITED,
                         std::string(ERROR_TITLE) + "Upgrade Failed: Firmware Upload Incomplete");
  if (!serve_shipped_image()) child_end();
  std::string path = scratch_file();
  Command run = run_command(
      {"tftp", "127.0.0.1", "69"}, 30000,
      "trace\nrexmt 1\ntimeout 3\nbinary\nget " + std::string(NAME) + " " + path + "\nquit\n");
  EXPECT_FALSE(run.timed_out) << run.output;
  EXPECT_NE(run.output.find("received opcode=6"), std::string::npos)
      << "the OACK did not reach it:\n"
      << run.output;
  EXPECT_TRUE(read_file(path).empty()) << run.output;
  remove_scratch_file(path);
  child_wait_for_listener_exit();
}

}  // namespace

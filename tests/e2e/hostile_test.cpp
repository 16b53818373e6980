// A hostile network and a misbehaving device: transfers through a lossy
// relay, devices that vanish mid-transfer, hold connections open or never
// come back, and a sweep over the ways a run can end.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "app/app.h"
#include "firmware/firmware.h"
#include "platform/net.h"
#include "platform/posix/seams.h"
#include "tftp/tftp.h"
#include "wizard_run.h"

namespace e2e {
namespace {

using simtest::Sim;
using simtest::TempDir;
using namespace std::chrono_literals;

const char ABORT[] = "Upgrade Failed: User Abort";
const char INCOMPLETE[] = "Upgrade Failed: Firmware Upload Incomplete";
const char NO_RESPONSE[] = "Upgrade Failed: No Response From QEL";
const char MISMATCH[] = "Upgrade Failed: Version not matching";

// Every message that may end a run: the catalogue and this program's additions.
const std::set<std::string> CATALOGUE = {
    "Upgrade Failed: Winsock init error",
    "Upgrade Failed: Can't open HTTP socket",
    "Upgrade Failed: Can't bind HTTP socket",
    ABORT,
    NO_RESPONSE,
    "Upgrade Failed: Can't malloc for TFTP listener",
    "Upgrade Failed: Can't create TFTP listener socket",
    "Upgrade Failed: Can't bind TFTP listener socket",
    "Upgrade Failed: Can't malloc for TFTP session",
    INCOMPLETE,
    MISMATCH,
    "Upgrade Failed: Firmware image missing or damaged",
    "Upgrade Failed: Can't start the device query",
    "Upgrade Failed: Can't malloc for device query",
    "Upgrade Failed: Can't start TFTP listener",
};

// ---- the relay, a program of its own ----

class Relay {
 public:
  Relay(const TempDir& dir, const std::string& listen, const std::string& server,
        std::vector<std::string> faults)
      : stats_(dir.file("relay.json")),
        process_(command(dir, listen, server, stats_, std::move(faults))),
        port_(simtest::wait_port_file(dir.file("relay.port"), "port", process_,
                                      simtest::patient(5s))) {}
  ~Relay() { stop(); }

  std::uint16_t port() const { return port_; }

  // Ends the relay and returns its counts as JSON.
  std::string stop() {
    process_.stop();
    return simtest::read_text(stats_);
  }

 private:
  static std::vector<std::string> command(const TempDir& dir, const std::string& listen,
                                          const std::string& server, const std::string& stats,
                                          std::vector<std::string> faults) {
    std::vector<std::string> argv = {QEL_UDP_RELAY,
                                     "--listen",
                                     listen,
                                     "--server",
                                     server,
                                     "--port-file",
                                     dir.file("relay.port"),
                                     "--stats",
                                     stats,
                                     "--time-limit",
                                     simtest::patient_seconds(300)};
    argv.insert(argv.end(), faults.begin(), faults.end());
    return argv;
  }

  std::string stats_;
  simtest::Process process_;
  std::uint16_t port_ = 0;
};

// A count from the relay's JSON: direction "to_server" or "to_client".
long relay_count(const std::string& stats, const std::string& direction, const std::string& key) {
  const nlohmann::ordered_json counts = simtest::parse_json(stats);
  if (!counts.is_object()) return -1;
  return counts.value(nlohmann::ordered_json::json_pointer("/" + direction + "/" + key), -1L);
}

int count_lines(const std::string& text, const std::string& prefix) {
  int n = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    n += text.compare(at, prefix.size(), prefix) == 0;
    at = end + 1;
  }
  return n;
}

// ---- the server side in this process: the listener's per-datagram decision
// and the product's transfer loop, on a socket of our own ----

class HostileNetwork : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_NETNS(); }
  TempDir dir;
};

// Waits for the read request of request_file_name on the socket and serves it
// as the listener thread would; false when none came in time.
bool serve_one(NetSocket socket, int* transfer_failed) {
  char request[TFTP_PACKET_SIZE];
  auto until = std::chrono::steady_clock::now() + simtest::patient(20s);
  while (std::chrono::steady_clock::now() < until) {
    std::uint32_t from = 0;
    std::uint16_t from_port = 0;
    net_wait_readable(socket, 20);
    int received = net_recvfrom(socket, request, sizeof request, &from, &from_port);
    if (classify_listener_datagram(request, received) != LISTENER_SERVE) continue;
    TftpSession* session =
        run_tftp_session(socket, 0x7f000001, 69, from, from_port, request + 2, transfer_failed);
    dialog_destroy(session->upload_dialog);
    std::free(session);
    return true;
  }
  return false;
}

TEST_F(HostileNetwork, HundredTransfersThroughLossAndDuplicationAreIdentical) {
  constexpr int TRANSFERS = 100;
  // Nine blocks and a short tenth: every transfer crosses many lossy exchanges.
  std::vector<unsigned char> image = simtest::make_image(4700, "5.2.5");
  simtest::write_bytes(dir.file("image.bin"), image);
  target_image = FirmwareImage{image.data(), static_cast<std::uint32_t>(image.size()), {}};
  wizard.upgrade_stage.store(STAGE_TARGET);
  std::strcpy(wizard.device_address_text, DEVICE);

  NetSocket socket = net_udp_socket();
  ASSERT_NE(socket, NET_INVALID_SOCKET);
  ASSERT_EQ(net_bind(socket, 0x7f000001, 69), 0);
  net_set_nonblocking(socket);

  // The device lingers 300 ms after its last ACK, enough for the server's
  // resends of a lost final ACK at the test clock.
  std::vector<std::string> args = {
      "--reboot-seconds", "0",  "--tftp-timeout-ms", "300",
      "--tftp-tries",     "20", "--time-limit",      simtest::patient_seconds(200),
      "--seed",           "11"};
  for (int i = 0; i < TRANSFERS; ++i) {
    args.push_back("--reference");
    args.push_back(dir.file("image.bin"));
  }
  Sim sim(args, DEVICE);
  Relay relay(dir, "127.0.0.3:0", "127.0.0.1:69", {"--loss", "0.1", "--dup", "0.1", "--seed", "5"});
  ASSERT_NE(relay.port(), 0) << "relay did not start";

  seam_set_clock(40, 0);  // resend intervals of ~40 ms keep the run short
  auto start = std::chrono::steady_clock::now();
  int served = 0, server_failures = 0;
  for (int i = 0; i < TRANSFERS; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/qel%x.bi1", 0x100 + i);
    set_request_file_name(name);
    std::string path = "/admin/upgrade?tftp://127.0.0.3:" + std::to_string(relay.port()) + name;
    // The device may still be finishing the previous one; it queues requests
    // but refuses connections while it restarts.
    bool asked = simtest::wait_until(
        [&] {
          simtest::HttpReply reply = simtest::http_exchange(
              DEVICE, sim.port(), simtest::product_request(path), simtest::patient(2s));
          return reply.connected && simtest::status_of(reply.text) == 200;
        },
        simtest::patient(10s));
    ASSERT_TRUE(asked) << "upgrade request " << i << " not accepted";
    int failed = 0;
    ASSERT_TRUE(serve_one(socket, &failed)) << "no read request for transfer " << i << "\n"
                                            << sim.log().substr(0, 4000);
    ++served;
    server_failures += failed;
  }
  bool all_ended = simtest::wait_until(
      [&] { return count_lines(sim.log(), "TFTP-END ") >= TRANSFERS; }, simtest::patient(20s));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  seam_set_clock(1, 0);
  net_close(socket);

  std::string stats = relay.stop();
  std::string verdict = sim.stop();
  EXPECT_TRUE(all_ended);
  EXPECT_EQ(served, TRANSFERS);
  EXPECT_EQ(simtest::json_value(verdict, "reference_match"), "true") << verdict.substr(0, 2000);
  EXPECT_EQ(count_lines(sim.log(), "TFTP-END complete"), TRANSFERS);
  // Lost final acknowledgements the device no longer repeats are the one way
  // the server may give up on a transfer the device completed; it must stay rare.
  EXPECT_LE(server_failures, 2);
  // The network really was hostile, both ways.
  for (const char* direction : {"to_server", "to_client"}) {
    EXPECT_GT(relay_count(stats, direction, "dropped"), 0) << stats;
    EXPECT_GT(relay_count(stats, direction, "duplicated"), 0) << stats;
  }
  // The OACK and ten blocks per transfer; anything more the server resent.
  long resends = relay_count(stats, "to_client", "received") - 11L * TRANSFERS;
  EXPECT_GT(resends, 0) << stats;
  std::printf("%d transfers in %.1f s; server resends %ld, server-side failures %d; relay %s",
              TRANSFERS, seconds, resends, server_failures, stats.c_str());
  RecordProperty("seconds", std::to_string(seconds));
}

TEST_F(HostileNetwork, DelayedAndReorderedPacketsAtRealSpeed) {
  constexpr int TRANSFERS = 5;
  std::vector<unsigned char> image = simtest::make_image(3000, "5.2.5");
  simtest::write_bytes(dir.file("image.bin"), image);
  target_image = FirmwareImage{image.data(), static_cast<std::uint32_t>(image.size()), {}};
  wizard.upgrade_stage.store(STAGE_TARGET);

  NetSocket socket = net_udp_socket();
  ASSERT_EQ(net_bind(socket, 0x7f000001, 69), 0);
  net_set_nonblocking(socket);
  std::vector<std::string> args = {"--reboot-seconds", "0", "--tftp-timeout-ms", "1000"};
  for (int i = 0; i < TRANSFERS; ++i)
    args.insert(args.end(), {"--reference", dir.file("image.bin")});
  Sim sim(args, DEVICE);
  // Delays up to 60 ms, some past the server's resend interval, and packets
  // held back so that the next one overtakes them.
  Relay relay(dir, "127.0.0.3:0", "127.0.0.1:69",
              {"--delay", "0.3", "--delay-ms", "5-60", "--reorder", "0.2", "--reorder-ms", "20",
               "--dup", "0.1", "--seed", "9"});
  ASSERT_NE(relay.port(), 0);
  for (int i = 0; i < TRANSFERS; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/qel%x.bi1", 0x200 + i);
    set_request_file_name(name);
    std::string path = "/admin/upgrade?tftp://127.0.0.3:" + std::to_string(relay.port()) + name;
    ASSERT_TRUE(simtest::wait_until(
        [&] {
          simtest::HttpReply reply = simtest::http_exchange(
              DEVICE, sim.port(), simtest::product_request(path), simtest::patient(2s));
          return reply.connected && simtest::status_of(reply.text) == 200;
        },
        simtest::patient(10s)));
    int failed = 0;
    ASSERT_TRUE(serve_one(socket, &failed));
    EXPECT_EQ(failed, 0) << "transfer " << i;
  }
  simtest::wait_until([&] { return count_lines(sim.log(), "TFTP-END ") >= TRANSFERS; },
                      simtest::patient(10s));
  net_close(socket);
  std::string stats = relay.stop();
  EXPECT_EQ(simtest::json_value(sim.stop(), "reference_match"), "true");
  EXPECT_GT(relay_count(stats, "to_server", "reordered"), 0) << stats;
  EXPECT_GT(relay_count(stats, "to_client", "delayed"), 0) << stats;
}

// The device vanishes after the OACK and four blocks: the server resends into
// the silence and gives up after its 30 intervals, never claiming success.
TEST_F(HostileNetwork, DeviceThatVanishesMidTransferFailsTheTransfer) {
  std::vector<unsigned char> image = simtest::make_image(10000, "5.2.5");
  target_image = FirmwareImage{image.data(), static_cast<std::uint32_t>(image.size()), {}};
  wizard.upgrade_stage.store(STAGE_TARGET);
  NetSocket socket = net_udp_socket();
  ASSERT_EQ(net_bind(socket, 0x7f000001, 69), 0);
  net_set_nonblocking(socket);
  Sim sim({"--reboot-seconds", "0", "--tftp-timeout-ms", "100", "--tftp-tries", "3"}, DEVICE);
  Relay relay(dir, "127.0.0.3:0", "127.0.0.1:69", {"--blackout-after", "5"});
  ASSERT_NE(relay.port(), 0);
  set_request_file_name("/qel77.bi1");
  std::string path =
      "/admin/upgrade?tftp://127.0.0.3:" + std::to_string(relay.port()) + "/qel77.bi1";
  ASSERT_EQ(simtest::status_of(
                simtest::http_exchange(DEVICE, sim.port(), simtest::product_request(path)).text),
            200);
  seam_set_clock(20, 0);  // the server gives up after ~2.3 s
  int failed = 0;
  bool served = serve_one(socket, &failed);
  seam_set_clock(1, 0);
  net_close(socket);
  ASSERT_TRUE(served);
  EXPECT_EQ(failed, 1);
  std::string stats = relay.stop();
  EXPECT_EQ(relay_count(stats, "to_client", "sent"), 5) << stats;
  EXPECT_EQ(relay_count(stats, "to_client", "dropped"), TFTP_MAX_EXPIRIES)
      << "the fifth block and its 29 resends went into the dark\n"
      << stats;
  EXPECT_TRUE(sim.wait_log("TFTP-END failed", simtest::patient(5s))) << sim.log();
}

// ---- the whole wizard against devices that misbehave ----

// The usual answers, with the address typed into both address templates.
std::string script(const std::string& image, double clock = 20,
                   const std::string& warning = "press IDOK",
                   const std::string& address = std::string("type IDC_DEVICE_ADDRESS ") + DEVICE +
                                                " ; press IDOK") {
  return "stage target\nimage IDR_TARGET_IMAGE " + image + "\n" +
         simtest::clock_and_limit(clock, 90000) + "answer IDD_WARNING " + warning +
         "\nanswer IDD_ADDRESS_ADAPTER " + address + "\nanswer IDD_ADDRESS_PHONE " + address + "\n";
}

// Task-modal boxes: the ones that end a run (the address dialog's own boxes
// are owned by it).
std::vector<std::string> ending_boxes(const WizardRun& run) {
  std::vector<std::string> texts;
  for (const Json* e : run.all("message_box"))
    if (e->at("owner").is_null()) texts.push_back(e->at("text").get<std::string>());
  return texts;
}

// The rule every run obeys: it ends with the success dialog and no message,
// with messages from the catalogue, or silently after a Cancel in the warning
// or the address dialog and nothing after it.
void expect_proper_ending(const WizardRun& run) {
  EXPECT_EQ(run.exit_code, 0) << run.summary();
  ASSERT_FALSE(run.events.empty());
  EXPECT_EQ(run.events.back().at("event"), "exit");
  EXPECT_TRUE(run.all("error").empty()) << "a dialog was left without an answer or time ran out";
  std::vector<std::string> boxes = ending_boxes(run);
  for (const std::string& text : boxes) EXPECT_EQ(CATALOGUE.count(text), 1u) << text;
  bool success = !run.all("open", IDD_SUCCESS).empty();
  if (success) {
    EXPECT_TRUE(boxes.empty()) << boxes.front();
  } else if (boxes.empty()) {
    std::vector<int> opened = run.opened();
    ASSERT_FALSE(opened.empty());
    int last = opened.back();
    EXPECT_TRUE(last == IDD_WARNING || last == IDD_ADDRESS_ADAPTER || last == IDD_ADDRESS_PHONE)
        << "silent end after template " << last;
    const Json* closing = nullptr;
    for (const Json* c : run.all("close", last)) closing = c;
    ASSERT_NE(closing, nullptr);
    EXPECT_EQ(closing->at("result"), 0) << "only a Cancel ends a run silently";
  }
}

enum class Ending { SUCCESS, SILENT, MESSAGE };

struct SweepCase {
  const char* name;
  std::vector<std::string> sim;  // simulator flags; empty: no simulator
  std::string answers;           // script lines after the usual ones
  Ending ending;
  const char* message;
  bool adapter = false;
  std::string environment = "";  // replaces the usual first lines when set
};

// Test names carry the case's name; gtest need not dump the record.
void PrintTo(const SweepCase& c, std::ostream* out) { *out << c.name; }

class EndingSweep : public ::testing::TestWithParam<SweepCase> {
 protected:
  void SetUp() override { REQUIRE_NETNS(); }
  TempDir dir;
};

TEST_P(EndingSweep, EndsWithSuccessACatalogueMessageOrAnAllowedSilence) {
  const SweepCase& c = GetParam();
  std::string phone = write_image(dir, "phone.bin", "TpArMeM fIrMwArE", "5.2.5", 4096, 3);
  std::string adapter = write_image(dir, "adapter.bin", "qel5300", "5.2.5", 4096, 5);
  std::vector<std::string> args = sim_args(c.sim);
  Sim sim(args, DEVICE);
  std::string text = c.environment.empty() ? script(c.adapter ? adapter : phone) : c.environment;
  // Nothing may wait for ever: a Connecting or waiting dialog still open after
  // a few seconds is cancelled (the answer is dropped if it closed before).
  WizardRun run = run_wizard(dir, text + c.answers);
  expect_proper_ending(run);
  std::vector<std::string> boxes = ending_boxes(run);
  switch (c.ending) {
    case Ending::SUCCESS:
      EXPECT_EQ(run.all("open", IDD_SUCCESS).size(), 1u) << run.summary();
      break;
    case Ending::SILENT:
      EXPECT_TRUE(boxes.empty()) << run.summary();
      EXPECT_TRUE(run.all("open", IDD_SUCCESS).empty());
      break;
    case Ending::MESSAGE:
      EXPECT_EQ(boxes, std::vector<std::string>{c.message}) << run.summary();
      break;
  }
}

const std::string CONFIRM = "answer IDD_CONFIRM_TARGET press IDOK\n";
const std::string OK = "answer IDD_SUCCESS press IDOK\n";

INSTANTIATE_TEST_SUITE_P(
    Devices, EndingSweep,
    ::testing::Values(
        SweepCase{"Healthy", {}, CONFIRM + OK, Ending::SUCCESS, nullptr},
        SweepCase{"HoldsTheUpgradeRequestOpen",
                  {"--http-keep-open", "4"},
                  CONFIRM + OK,
                  Ending::SUCCESS,
                  nullptr},
        SweepCase{"AnswersWithHttp10", {"--http10-status"}, CONFIRM + OK, Ending::SUCCESS, nullptr},
        SweepCase{"AsksWrongNamesFirst",
                  {"--wrong-name-first", "/QEL0.BI1", "--wrong-name-pause-ms", "200"},
                  CONFIRM + OK,
                  Ending::SUCCESS,
                  nullptr},
        SweepCase{"CancelInTheWarning",
                  {},
                  "",
                  Ending::SILENT,
                  nullptr,
                  false,
                  "clock 20\ntimeout 60000\nanswer IDD_WARNING press IDCANCEL\n"},
        SweepCase{
            "CancelInTheAddressDialog",
            {},
            "",
            Ending::SILENT,
            nullptr,
            false,
            "clock 20\ntimeout 60000\nanswer IDD_WARNING press IDOK\n"
            "answer IDD_ADDRESS_ADAPTER press IDCANCEL\nanswer IDD_ADDRESS_PHONE press IDCANCEL\n"},
        SweepCase{"BadAddressThenCancel",
                  {},
                  "",
                  Ending::SILENT,
                  nullptr,
                  false,
                  "clock 20\ntimeout 60000\nanswer IDD_WARNING press IDOK\n"
                  "answer IDD_ADDRESS_ADAPTER type IDC_DEVICE_ADDRESS 1.2.3.4.5.6.7.8.9 ; "
                  "press IDOK ; press IDCANCEL\n"
                  "answer IDD_ADDRESS_PHONE type IDC_DEVICE_ADDRESS 1.2.3.4.5.6.7.8.9 ; "
                  "press IDOK ; press IDCANCEL\n"},
        SweepCase{"NoLocalAddress",
                  {},
                  "",
                  Ending::SILENT,
                  nullptr,
                  false,
                  "addresses none\nclock 20\ntimeout 60000\nanswer IDD_WARNING press IDOK\n"
                  "answer IDD_ADDRESS_ADAPTER type IDC_DEVICE_ADDRESS 127.0.0.2 ; press IDOK ; "
                  "press IDCANCEL\n"
                  "answer IDD_ADDRESS_PHONE type IDC_DEVICE_ADDRESS 127.0.0.2 ; press IDOK ; "
                  "press IDCANCEL\n"},
        SweepCase{"MissingImage",
                  {},
                  "",
                  Ending::MESSAGE,
                  "Upgrade Failed: Firmware image missing or damaged",
                  false,
                  "image IDR_TARGET_IMAGE none\nclock 20\ntimeout 60000\n"},
        SweepCase{"CancelInTheConfirmDialog",
                  {},
                  "answer IDD_CONFIRM_TARGET press IDCANCEL\n",
                  Ending::MESSAGE,
                  ABORT},
        SweepCase{"RefusesConnections", {"--http-refuse"}, "", Ending::MESSAGE, NO_RESPONSE},
        SweepCase{"ClosesWithoutAnswer",
                  {"--http-close-without-answer"},
                  "",
                  Ending::MESSAGE,
                  NO_RESPONSE},
        SweepCase{"NeverAnswers",
                  {"--http-hang"},
                  "answer IDD_CONNECTING delay 1500 ; press IDCANCEL\n",
                  Ending::MESSAGE,
                  ABORT},
        SweepCase{"WrongPasswordThenCancel",
                  {"--password", "pw"},
                  "answer IDD_PASSWORD type IDC_PASSWORD bad ; press IDOK\nanswer IDD_PASSWORD "
                  "press IDCANCEL\n",
                  Ending::MESSAGE,
                  ABORT},
        SweepCase{"NeverFetches",
                  {"--wrong-name-first", "/other.bin", "--wrong-name-pause-ms", "60000"},
                  CONFIRM + "answer IDD_WAITING delay 1500 ; press IDCANCEL\n",
                  Ending::MESSAGE,
                  ABORT},
        SweepCase{"NeverAcknowledges", {"--never-ack"}, CONFIRM, Ending::MESSAGE, INCOMPLETE},
        SweepCase{
            "ErrorMidTransfer", {"--error-on-block", "3"}, CONFIRM, Ending::MESSAGE, INCOMPLETE},
        SweepCase{
            "AcksFromAnotherPort", {"--ack-from-other-port"}, CONFIRM, Ending::MESSAGE, INCOMPLETE},
        SweepCase{"NeverComesBack", {"--never-return"}, CONFIRM, Ending::MESSAGE, NO_RESPONSE},
        SweepCase{"ReportsAnotherVersion",
                  {"--report-version", "9.9.9"},
                  CONFIRM,
                  Ending::MESSAGE,
                  MISMATCH,
                  true}),
    [](const ::testing::TestParamInfo<SweepCase>& info) { return std::string(info.param.name); });

class MisbehavingDevice : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_NETNS(); }
  TempDir dir;
  std::string image = write_image(dir, "phone.bin", "TpArMeM fIrMwArE", "5.2.5", 20000, 8);
};

// The device stops answering after four blocks (it reports a flash error and
// drops the transfer, as a reset would).
TEST_F(MisbehavingDevice, ResetMidTransferLeavesAWorkingCancel) {
  {
    // At real speed the server is still resending when the user gives up.
    Sim sim(sim_args({"--error-on-block", "5"}), DEVICE);
    WizardRun run =
        run_wizard(dir, script(image, 1) + CONFIRM +
                            "answer IDD_UPLOAD await-progress 5 ; delay 400 ; press IDCANCEL\n");
    expect_proper_ending(run);
    EXPECT_EQ(ending_boxes(run), std::vector<std::string>{ABORT});
    EXPECT_EQ(run.last_caption(IDD_UPLOAD),
              "Uploading Target Firmware to QEL@127.0.0.2 2048/20000 Bytes")
        << "cancelled while block 5 was outstanding";
    EXPECT_NE(sim.log().find("TFTP-TX ERROR"), std::string::npos);
  }
  {
    Sim sim(sim_args({"--error-on-block", "5"}), DEVICE);
    WizardRun run = run_wizard(dir, script(image) + CONFIRM);
    expect_proper_ending(run);
    EXPECT_EQ(ending_boxes(run), std::vector<std::string>{INCOMPLETE});
    EXPECT_EQ(run.last_caption(IDD_UPLOAD), "Updating Target Firmware to QEL@127.0.0.2");
  }
}

// The device answers the upgrade request but keeps its connection open. Its
// web server serves one connection at a time, so the check after the
// transfer waits for it too: only the device letting go, or Cancel, ends that.
// Holding on for 10 s (scaled) stands for "for ever": every Cancel below
// comes well before, and each run waits that long once, in its first query.
TEST_F(MisbehavingDevice, UpgradeRequestHeldOpen) {
  const std::string held = simtest::patient_seconds(10);
  {
    Sim sim(sim_args({"--http-keep-open", "4", "--reference", dir.file(image)}), DEVICE);
    WizardRun run = run_wizard(dir, script(image) + CONFIRM + OK);
    expect_proper_ending(run);
    EXPECT_EQ(run.all("open", IDD_SUCCESS).size(), 1u);
    EXPECT_EQ(simtest::json_value(sim.stop(), "reference_match"), "true");
  }
  {
    // Cancel in the upgrade request's Connecting dialog, which cannot close;
    // the device never fetches, so nothing else can end the run.
    Sim sim(sim_args({"--http-keep-open", held, "--wrong-name-first", "/x", "--wrong-name-pause-ms",
                      "60000"}),
            DEVICE);
    WizardRun run = run_wizard(
        dir, script(image) + CONFIRM + "answer IDD_CONNECTING none\nanswer IDD_CONNECTING delay " +
                 std::to_string(simtest::patient(800ms).count()) + " ; press IDCANCEL\n");
    expect_proper_ending(run);
    EXPECT_EQ(ending_boxes(run), std::vector<std::string>{ABORT});
    std::vector<const Json*> inputs = run.all("input");
    ASSERT_FALSE(inputs.empty());
    EXPECT_FALSE(inputs.back()->value("dropped", false)) << "the Cancel reached an open dialog";
    EXPECT_EQ(run.all("open", IDD_WAITING).size(), 1u) << "the listener was waiting meanwhile";
  }
  {
    // The transfer is done, the check's query is stuck behind the held
    // connection: its Connecting dialog still offers Cancel. Every exchange
    // before it waits the hold out, so it is only as long as the Cancel needs.
    Sim sim(sim_args({"--http-keep-open", simtest::patient_seconds(3)}), DEVICE);
    WizardRun run = run_wizard(dir, script(image) + CONFIRM +
                                        "answer IDD_CONNECTING none\nanswer IDD_CONNECTING none\n"
                                        "answer IDD_CONNECTING delay 1000 ; press IDCANCEL\n");
    expect_proper_ending(run);
    EXPECT_EQ(ending_boxes(run), std::vector<std::string>{ABORT});
    std::vector<const Json*> checks = run.all("open", IDD_CONNECTING);
    ASSERT_EQ(checks.size(), 3u);
    EXPECT_EQ(checks[2]->at("thread"), dialog_thread(IDD_WAITING));
  }
}

TEST_F(MisbehavingDevice, DeviceThatNeverComesBack) {
  {
    Sim sim(sim_args({"--never-return"}), DEVICE);
    WizardRun run = run_wizard(dir, script(image) + CONFIRM);
    expect_proper_ending(run);
    EXPECT_EQ(ending_boxes(run), std::vector<std::string>{NO_RESPONSE});
  }
  {
    // Cancel during the wait for the restart.
    Sim sim(sim_args({"--never-return"}), DEVICE);
    WizardRun run = run_wizard(
        dir, script(image) + CONFIRM + "answer IDD_UPLOAD await-progress 300 ; press IDCANCEL\n");
    expect_proper_ending(run);
    EXPECT_EQ(ending_boxes(run), std::vector<std::string>{ABORT});
    EXPECT_EQ(run.last_caption(IDD_UPLOAD), "Updating Target Firmware to QEL@127.0.0.2");
  }
}

}  // namespace
}  // namespace e2e

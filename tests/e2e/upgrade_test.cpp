// The whole upgrade: listener, transfer, the device's reflash, verification,
// one and two stages, and the ways each can fail.
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "support/udp_peer.h"
#include "wizard_run.h"

namespace e2e {
namespace {

using simtest::Sim;
using simtest::TempDir;

const char SUCCESS_CAPTION[] = "QEL@127.0.0.2 Upgrade Successful!";

// One HTTP request as the simulator logged it.
struct LoggedRequest {
  std::string line;
  std::string authorization;
};

std::vector<LoggedRequest> requests(const std::string& log) {
  std::vector<LoggedRequest> found;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("HTTP-REQ ", 0) == 0) found.push_back({line.substr(9), ""});
    if (line.rfind("HTTP-HDR Authorization:", 0) == 0 && !found.empty())
      found.back().authorization = line.substr(9);
  }
  return found;
}

class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_NETNS(); }

  std::vector<std::string> with_reference(std::vector<std::string> extra,
                                          const std::string& image) {
    extra.push_back("--reference");
    extra.push_back(dir.file(image));
    return sim_args(extra);
  }

  TempDir dir;
  std::string phone = write_image(dir, "phone.bin", "TpArMeM fIrMwArE", "5.2.5", 871243, 3);
  std::string small_phone = write_image(dir, "small.bin", "TpArMeM fIrMwArE", "5.2.5", 4096, 4);
  std::string adapter = write_image(dir, "adapter.bin", "qel5300", "5.2.5", 20000, 5);
};

TEST_F(UpgradeTest, OneStageUpgradeEndsWithTheSuccessDialog) {
  Sim sim(with_reference({}, phone), DEVICE);
  WizardRun run =
      run_wizard(dir, base_script(phone) +
                          "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_SUCCESS press IDOK\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.boxes().empty()) << run.summary();
  // The waiting dialog and the upgrade request's Connecting dialog are open
  // at the same time, each on its own thread.
  EXPECT_EQ(run.opened("main"), (std::vector<int>{IDD_WARNING, IDD_ADDRESS_PHONE, IDD_CONNECTING,
                                                  IDD_CONFIRM_TARGET, IDD_CONNECTING}));
  EXPECT_EQ(run.opened(dialog_thread(IDD_WAITING)),
            (std::vector<int>{IDD_WAITING, IDD_UPLOAD, IDD_CONNECTING, IDD_SUCCESS}));

  const Json& waiting = *run.all("open", IDD_WAITING).at(0);
  EXPECT_EQ(waiting.at("caption"), "Waiting For Firmware Download Request From QEL");
  EXPECT_EQ(waiting.at("thread"), dialog_thread(IDD_WAITING));
  std::vector<const Json*> waiting_text = run.all("text", IDD_WAITING);
  ASSERT_EQ(waiting_text.size(), 1u);
  EXPECT_EQ(waiting_text[0]->at("text").get<std::string>().rfind(
                "Firmware upload will begin when the QEL is idle, where the QEL will request", 0),
            0u);
  const Json& success = *run.all("open", IDD_SUCCESS).at(0);
  EXPECT_EQ(success.at("caption"), SUCCESS_CAPTION);
  EXPECT_EQ(control_text(success, IDC_NEW_VERSION), "5.2.5");
  EXPECT_EQ(success.at("thread"), dialog_thread(IDD_WAITING));

  // One caption per acknowledgement (the OACK's and 1,702 blocks'), then the wait's.
  long long captions = static_cast<long long>(run.all("caption", IDD_UPLOAD).size());
  for (const Json* c : run.all("captions", IDD_UPLOAD)) captions += c->at("count").get<int>();
  EXPECT_EQ(captions, 1703 + 1);
  EXPECT_EQ(run.last_caption(IDD_UPLOAD), "Updating Target Firmware to QEL@127.0.0.2");
  std::vector<const Json*> ranges = run.all("range", IDD_UPLOAD);
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[0]->at("high"), 1702) << "one step per block";
  EXPECT_EQ(ranges[1]->at("high"), 937) << "32 ms ticks of the wait";

  std::string verdict = sim.stop();
  EXPECT_EQ(simtest::json_value(verdict, "reference_match"), "true") << verdict;
  std::string log = sim.log();
  std::vector<std::string> upgrade = log_lines_starting(log, "UPGRADE request");
  ASSERT_EQ(upgrade.size(), 1u) << log;
  EXPECT_NE(upgrade[0].find("server=127.0.0.1:69 file=/qel"), std::string::npos) << upgrade[0];
  EXPECT_NE(upgrade[0].find(".bi1"), std::string::npos);
  EXPECT_NE(log.find("TFTP-RX OACK tsize=871243 timeout=5 len=25"), std::string::npos);
}

TEST_F(UpgradeTest, UploadCaptionsCountTheAcknowledgedBytes) {
  Sim sim(with_reference({}, small_phone), DEVICE);
  WizardRun run =
      run_wizard(dir, base_script(small_phone) +
                          "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_SUCCESS press IDOK\n");
  std::vector<std::string> captions;
  for (const Json* c : run.all("caption", IDD_UPLOAD))
    captions.push_back(c->at("text").get<std::string>());
  std::vector<std::string> expected;
  for (int bytes = 0; bytes <= 4096; bytes += 512)
    expected.push_back("Uploading Target Firmware to QEL@127.0.0.2 " + std::to_string(bytes) +
                       "/4096 Bytes");
  expected.push_back("Updating Target Firmware to QEL@127.0.0.2");
  EXPECT_EQ(captions, expected) << "4,096 bytes end with an empty ninth block";
  EXPECT_EQ(simtest::json_value(sim.stop(), "reference_match"), "true");
}

TEST_F(UpgradeTest, PasswordIsAskedOnceAndCarriedByEveryLaterRequest) {
  Sim sim(
      with_reference({"--password", "pw", "--qop", "auth", "--algorithm", "MD5-sess", "--opaque"},
                     small_phone),
      DEVICE);
  WizardRun run =
      run_wizard(dir, base_script(small_phone) +
                          "answer IDD_PASSWORD type IDC_PASSWORD pw ; press IDOK\n"
                          "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_SUCCESS press IDOK\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.all("open", IDD_PASSWORD).size(), 1u);
  EXPECT_EQ(run.last_caption(IDD_SUCCESS), SUCCESS_CAPTION);
  std::vector<LoggedRequest> sent = requests(sim.log());
  ASSERT_GE(sent.size(), 4u) << sim.log();
  EXPECT_TRUE(sent[0].authorization.empty());
  for (std::size_t i = 1; i < sent.size(); ++i)
    EXPECT_NE(sent[i].authorization.find("Digest username=\"admin\""), std::string::npos)
        << sent[i].line;
  EXPECT_EQ(simtest::json_value(sim.stop(), "reference_match"), "true");
}

TEST_F(UpgradeTest, TwoStagesServeTransitionThenTargetOnTheSamePort) {
  std::string transition =
      write_image(dir, "transition.bin", "TpArMeM fIrMwArE", "5.1.8", 30001, 6);
  std::vector<std::string> args =
      sim_args({"--reference", dir.file(transition), "--reference", dir.file(small_phone)});
  Sim sim(args, DEVICE);
  WizardRun run = run_wizard(
      dir, base_script(small_phone) + "stage transition\nimage IDR_TRANSITION_IMAGE " + transition +
               "\nanswer IDD_CONFIRM_TRANSITION press IDOK\nanswer IDD_SUCCESS press IDOK\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.boxes().empty()) << run.summary();
  std::vector<const Json*> waits = run.all("open", IDD_WAITING);
  ASSERT_EQ(waits.size(), 2u);
  EXPECT_EQ(control_text(*waits[1], IDC_WAITING_TEXT), "") << "the second wait has no text";
  EXPECT_EQ(run.all("open", IDD_SUCCESS).size(), 1u);
  EXPECT_EQ(run.opened().back(), IDD_SUCCESS);
  bool transition_caption = false;
  for (const Json* c : run.all("caption", IDD_UPLOAD))
    transition_caption |=
        c->at("text").get<std::string>().rfind("Uploading Transition Firmware", 0) == 0;
  EXPECT_TRUE(transition_caption);

  std::string log = sim.log();
  std::vector<std::string> upgrade = log_lines_starting(log, "UPGRADE request");
  ASSERT_EQ(upgrade.size(), 2u) << log;
  EXPECT_NE(upgrade[0].find("server=127.0.0.1:69 "), std::string::npos);
  EXPECT_NE(upgrade[1].find("server=127.0.0.1:69 "), std::string::npos);
  EXPECT_NE(upgrade[0].find(".bi0"), std::string::npos) << upgrade[0];
  EXPECT_NE(upgrade[1].find(".bi1"), std::string::npos) << upgrade[1];
  EXPECT_EQ(simtest::json_value(sim.stop(), "reference_match"), "true");
}

TEST_F(UpgradeTest, NewEnoughDeviceGetsTheTargetImageUnderAZeroName) {
  std::string transition = write_image(dir, "transition.bin", "TpArMeM fIrMwArE", "5.1.8", 3000, 6);
  Sim sim(with_reference({"--software", "5.1.9"}, small_phone), DEVICE);
  WizardRun run = run_wizard(
      dir, base_script(small_phone) + "stage transition\nimage IDR_TRANSITION_IMAGE " + transition +
               "\nanswer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_SUCCESS press IDOK\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.all("open", IDD_WAITING).size(), 1u);
  std::vector<std::string> upgrade = log_lines_starting(sim.log(), "UPGRADE request");
  ASSERT_EQ(upgrade.size(), 1u);
  EXPECT_NE(upgrade[0].find(".bi0"), std::string::npos) << upgrade[0];
  EXPECT_EQ(simtest::json_value(sim.stop(), "reference_match"), "true");
}

TEST_F(UpgradeTest, DeviceThatNeverAcknowledgesGetsTheIncompleteMessageAfterTheWait) {
  Sim sim(sim_args({"--never-ack"}), DEVICE);
  WizardRun run =
      run_wizard(dir, base_script(small_phone) + "answer IDD_CONFIRM_TARGET press IDOK\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.boxes(), std::vector<std::string>{"Upgrade Failed: Firmware Upload Incomplete"});
  EXPECT_EQ(run.last_caption(IDD_UPLOAD), "Updating Target Firmware to QEL@127.0.0.2")
      << "the full wait runs before the message";
  EXPECT_EQ(run.all("open", IDD_SUCCESS).size(), 0u);
  std::vector<LoggedRequest> sent = requests(sim.log());
  EXPECT_EQ(sent.size(), 2u) << "no query after a failed transfer";
}

TEST_F(UpgradeTest, VersionIsComparedForAdaptersOnly) {
  {
    Sim sim(sim_args({"--report-version", "5.2.5 "}), DEVICE);
    WizardRun run =
        run_wizard(dir, base_script(adapter) + "answer IDD_CONFIRM_TARGET press IDOK\n");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.boxes(), std::vector<std::string>{"Upgrade Failed: Version not matching"});
    EXPECT_EQ(run.all("open", IDD_SUCCESS).size(), 0u);
  }
  {
    Sim sim(sim_args({"--report-version", "9.9.9"}), DEVICE);
    WizardRun run = run_wizard(
        dir, base_script(small_phone) +
                 "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_SUCCESS press IDOK\n");
    EXPECT_TRUE(run.boxes().empty());
    ASSERT_EQ(run.all("open", IDD_SUCCESS).size(), 1u);
    EXPECT_EQ(control_text(*run.all("open", IDD_SUCCESS).at(0), IDC_NEW_VERSION), "9.9.9");
  }
  {
    Sim sim(sim_args({}), DEVICE);
    WizardRun run = run_wizard(
        dir, base_script(adapter) +
                 "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_SUCCESS press IDOK\n");
    EXPECT_TRUE(run.boxes().empty());
    EXPECT_EQ(run.last_caption(IDD_SUCCESS), SUCCESS_CAPTION);
  }
}

TEST_F(UpgradeTest, AdapterWithoutTheVersionLabelAfterTheReflashKeepsTheOldVersion) {
  Sim sim(sim_args({"--omit-version-after-reboot"}), DEVICE);
  WizardRun run = run_wizard(dir, base_script(adapter) + "answer IDD_CONFIRM_TARGET press IDOK\n");
  EXPECT_EQ(run.boxes(), std::vector<std::string>{"Upgrade Failed: Version not matching"});
}

TEST_F(UpgradeTest, DeviceThatNeverComesBackIsReported) {
  Sim sim(sim_args({"--never-return"}), DEVICE);
  WizardRun run =
      run_wizard(dir, base_script(small_phone) + "answer IDD_CONFIRM_TARGET press IDOK\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.boxes(), std::vector<std::string>{"Upgrade Failed: No Response From QEL"});
  int listener_queries = 0;
  for (const Json* open : run.all("open", IDD_CONNECTING))
    listener_queries += open->at("thread") == dialog_thread(IDD_WAITING);
  EXPECT_EQ(listener_queries, 10);
}

TEST_F(UpgradeTest, CancelInTheWaitingDialog) {
  Sim sim(sim_args({"--wrong-name-first", "/other.bin", "--wrong-name-pause-ms", "20000"}), DEVICE);
  WizardRun run =
      run_wizard(dir, base_script(small_phone) +
                          "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_WAITING delay " +
                          std::to_string(simtest::patient(500ms).count()) + " ; press IDCANCEL\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.boxes(), std::vector<std::string>{"Upgrade Failed: User Abort"});
  EXPECT_EQ(run.all("open", IDD_UPLOAD).size(), 0u);
  EXPECT_NE(sim.log().find("TFTP-TX RRQ /other.bin"), std::string::npos) << sim.log();
}

TEST_F(UpgradeTest, CancelInTheUploadDialogDuringTheTransferAndDuringTheWait) {
  {
    // Real speed: the device's late ACKs stay within the resend interval.
    Sim sim(sim_args({"--ack-delay", "all", "--ack-delay-ms", "30"}), DEVICE);
    WizardRun run = run_wizard(dir, base_script(phone, 1) +
                                        "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_UPLOAD "
                                        "await-progress 5 ; press IDCANCEL\n");
    EXPECT_EQ(run.boxes(), std::vector<std::string>{"Upgrade Failed: User Abort"});
    EXPECT_EQ(run.last_caption(IDD_UPLOAD).rfind("Uploading Target Firmware", 0), 0u)
        << run.last_caption(IDD_UPLOAD);
    EXPECT_EQ(run.exit_code, 0);
  }
  {
    // Two seconds (scaled) are past the transfer, well inside the wait.
    Sim sim(sim_args({}), DEVICE);
    WizardRun run = run_wizard(dir, base_script(small_phone, 2) +
                                        "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_UPLOAD "
                                        "delay " +
                                        std::to_string(simtest::patient(2000ms).count()) +
                                        " ; press IDCANCEL\n");
    EXPECT_EQ(run.boxes(), std::vector<std::string>{"Upgrade Failed: User Abort"});
    EXPECT_EQ(run.last_caption(IDD_UPLOAD), "Updating Target Firmware to QEL@127.0.0.2");
    EXPECT_EQ(run.all("open", IDD_SUCCESS).size(), 0u);
  }
}

TEST_F(UpgradeTest, TakenPortSixtyNineMovesTheListenerToSeventy) {
  int taken = udp_peer::bind_udp(69);
  ASSERT_GE(taken, 0);
  Sim sim(with_reference({}, small_phone), DEVICE);
  WizardRun run =
      run_wizard(dir, base_script(small_phone) +
                          "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_SUCCESS press IDOK\n");
  ::close(taken);
  EXPECT_EQ(run.exit_code, 0);
  std::vector<std::string> upgrade = log_lines_starting(sim.log(), "UPGRADE request");
  ASSERT_EQ(upgrade.size(), 1u);
  EXPECT_NE(upgrade[0].find("server=127.0.0.1:70 "), std::string::npos) << upgrade[0];
  EXPECT_EQ(simtest::json_value(sim.stop(), "reference_match"), "true");
}

TEST_F(UpgradeTest, WrongNamesAndForeignPortsAreIgnored) {
  {
    Sim sim(with_reference({"--wrong-name-first", "/QEL0.BI1", "--wrong-name-pause-ms", "300"},
                           small_phone),
            DEVICE);
    WizardRun run = run_wizard(
        dir, base_script(small_phone) +
                 "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_SUCCESS press IDOK\n");
    EXPECT_TRUE(run.boxes().empty());
    std::string verdict = sim.stop();
    EXPECT_EQ(simtest::json_value(verdict, "wrong_name_answered"), "false") << verdict;
    EXPECT_EQ(simtest::json_value(verdict, "reference_match"), "true");
  }
  {
    Sim sim(sim_args({"--ack-from-other-port"}), DEVICE);
    WizardRun run =
        run_wizard(dir, base_script(small_phone) + "answer IDD_CONFIRM_TARGET press IDOK\n");
    EXPECT_EQ(run.boxes(), std::vector<std::string>{"Upgrade Failed: Firmware Upload Incomplete"});
  }
}

// Nine addresses of the PC offered (eight shown), the device's typed with
// leading zeros, the success dialog left with Esc.
TEST_F(UpgradeTest, SuccessShowsTheAddressAsTypedAndEscLeavesIt) {
  Sim sim(sim_args({}), DEVICE);
  WizardRun run = run_wizard(
      dir, "stage target\nimage IDR_TARGET_IMAGE " + small_phone + "\n" +
               simtest::clock_and_limit(20, 120000) +
               "addresses 127.0.0.1 127.0.0.11 127.0.0.12 127.0.0.13 127.0.0.14 127.0.0.15 "
               "127.0.0.16 127.0.0.17 127.0.0.18\n"
               "answer IDD_WARNING press IDOK\n"
               "answer IDD_ADDRESS_PHONE type IDC_DEVICE_ADDRESS 127.000.000.002 ; press IDOK\n"
               "answer IDD_CONFIRM_TARGET press IDOK\n"
               "answer IDD_SUCCESS press IDCANCEL\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.boxes().empty()) << run.summary();
  EXPECT_EQ(combo(*run.all("open", IDD_ADDRESS_PHONE).at(0), IDC_LOCAL_ADDRESS).at("items").size(),
            8u);
  EXPECT_EQ(run.last_caption(IDD_SUCCESS), "QEL@127.000.000.002 Upgrade Successful!");
  std::vector<const Json*> closed = run.all("close", IDD_SUCCESS);
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0]->at("result"), 0) << "ended as Cancel ends it";
  EXPECT_TRUE(run.all("error").empty()) << "the success dialog had its answer";
}

TEST_F(UpgradeTest, LostDuplicatedAndLateAcksStillGiveAnIdenticalImage) {
  const char* faults[][2] = {{"--ack-drop", "p=0.05"},
                             {"--ack-drop", "p=0.10"},
                             {"--ack-dup", "p=0.10"},
                             {"--ack-reorder", "p=0.05"},
                             {"--ack-delay", "p=0.02"}};
  for (const auto& fault : faults) {
    // A late ACK must come within the server's 30 resend intervals, which at
    // this clock last about 1.2 s of real time; each lost one costs a resend
    // interval, about 40 ms.
    Sim sim(with_reference({fault[0], fault[1], "--seed", "7", "--tftp-timeout-ms", "300",
                            "--ack-delay-ms", "40"},
                           phone),
            DEVICE);
    WizardRun run = run_wizard(
        dir, base_script(phone, 40) +
                 "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_SUCCESS press IDOK\n");
    EXPECT_TRUE(run.boxes().empty()) << fault[0] << ' ' << fault[1];
    EXPECT_EQ(simtest::json_value(sim.stop(), "reference_match"), "true")
        << fault[0] << ' ' << fault[1];
  }
}

// The device's 30 seconds are kept at real speed here, once.
TEST_F(UpgradeTest, RealSpeedRun) {
  Sim sim(with_reference({"--reboot-seconds", "5"}, phone), DEVICE);
  auto start = std::chrono::steady_clock::now();
  WizardRun run =
      run_wizard(dir, base_script(phone, 1) +
                          "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_SUCCESS press IDOK\n");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.last_caption(IDD_SUCCESS), SUCCESS_CAPTION);
  EXPECT_GE(seconds, 29.9) << "the device gets its 937 ticks of 32 ms";
  EXPECT_EQ(simtest::json_value(sim.stop(), "reference_match"), "true");
  RecordProperty("seconds", std::to_string(seconds));
  std::printf("real-speed run: %.1f s\n", seconds);
}

}  // namespace
}  // namespace e2e

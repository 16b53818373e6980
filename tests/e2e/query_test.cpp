// The wizard from the warning to the confirm dialog: address entry, the
// information query with its passwords, every Cancel on the way, the gate.
#include <string>

#include "wizard_run.h"

namespace e2e {
namespace {

using simtest::Sim;
using simtest::TempDir;

const char ABORT[] = "Upgrade Failed: User Abort";
const char NO_RESPONSE[] = "Upgrade Failed: No Response From QEL";

int count_of(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++n;
  return n;
}

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_NETNS(); }
  TempDir dir;
  std::string phone = write_image(dir, "phone.bin", "TpArMeM fIrMwArE", "5.2.5", 4096);
  std::string adapter = write_image(dir, "adapter.bin", "qel5200", "5.2.5", 4096);
};

TEST_F(QueryTest, ReachesTheConfirmDialogWithTheDeviceValues) {
  Sim sim(sim_args({"--serial", "SN-77", "--mac", "00:11:22:33:44:55", "--software", "5.1.2(GR)",
                    "--hardware", "2.0", "--product", "QEL-742"}),
          DEVICE);
  WizardRun run =
      run_wizard(dir, base_script(phone) + "answer IDD_CONFIRM_TARGET press IDCANCEL\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.opened(),
            (std::vector<int>{IDD_WARNING, IDD_ADDRESS_PHONE, IDD_CONNECTING, IDD_CONFIRM_TARGET}));
  EXPECT_EQ(run.boxes(), std::vector<std::string>{ABORT});

  const Json& warning = *run.all("open", IDD_WARNING).at(0);
  EXPECT_EQ(warning.at("caption"), "QEL-742/QEL-722 Firmware Upgrade");
  EXPECT_EQ(warning.at("focus"), 2) << "Enter in the warning cancels";
  const Json& address = *run.all("open", IDD_ADDRESS_PHONE).at(0);
  EXPECT_EQ(address.at("caption"), "QEL-742/QEL-722 Firmware Upgrade");
  EXPECT_EQ(control_text(address, IDC_ADDRESS_VERSION), "Version 5.2.5");
  EXPECT_EQ(address.at("focus"), IDC_DEVICE_ADDRESS);
  EXPECT_EQ(run.last_caption(IDD_CONNECTING), "Connecting with QEL@127.0.0.2");

  const Json& confirm = *run.all("open", IDD_CONFIRM_TARGET).at(0);
  EXPECT_EQ(confirm.at("caption"), "Confirm Upgrade to Ver. 5.2.5");
  EXPECT_EQ(control_text(confirm, IDC_SERIAL_NUMBER), "SN-77");
  EXPECT_EQ(control_text(confirm, IDC_MAC_ADDRESS), "00:11:22:33:44:55");
  EXPECT_EQ(control_text(confirm, IDC_SOFTWARE_VERSION), "5.1.2(GR)");
  EXPECT_EQ(control_text(confirm, IDC_HARDWARE_VERSION), "2.0");
  EXPECT_EQ(control_text(confirm, IDC_PRODUCT_NAME), "QEL-742");
  EXPECT_EQ(confirm.at("focus"), 1);

  for (const Json* open : run.all("open")) {
    const Json& d = *open;
    EXPECT_EQ(d.at("x"), (d.at("screen_width").get<int>() - d.at("width").get<int>()) >> 1);
    EXPECT_EQ(d.at("y"), (d.at("screen_height").get<int>() - d.at("height").get<int>()) >> 1);
  }
  std::string log = sim.log();
  EXPECT_NE(log.find("HTTP-CONN from=127.0.0.1:23456"), std::string::npos) << log;
  EXPECT_NE(log.find("HTTP-HDR Host: 192.168.2.110"), std::string::npos);
  EXPECT_EQ(log.find("Authorization"), std::string::npos);
}

TEST_F(QueryTest, AdapterImageUsesTheAdapterTemplate) {
  Sim sim(sim_args({}), DEVICE);
  WizardRun run =
      run_wizard(dir, base_script(adapter) + "answer IDD_CONFIRM_TARGET press IDCANCEL\n");
  EXPECT_EQ(run.opened(), (std::vector<int>{IDD_WARNING, IDD_ADDRESS_ADAPTER, IDD_CONNECTING,
                                            IDD_CONFIRM_TARGET}));
  EXPECT_EQ(run.all("open", IDD_ADDRESS_ADAPTER).at(0)->at("caption"),
            "QEL-5100/5200 Firmware Upgrade");
}

TEST_F(QueryTest, PasswordDialogThenARequestCountingOne) {
  Sim sim(sim_args({"--password", "s3cret", "--qop", "auth"}), DEVICE);
  WizardRun run = run_wizard(dir, base_script(phone) +
                                      "answer IDD_PASSWORD type IDC_PASSWORD s3cret ; press IDOK\n"
                                      "answer IDD_CONFIRM_TARGET press IDCANCEL\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.opened(), (std::vector<int>{IDD_WARNING, IDD_ADDRESS_PHONE, IDD_CONNECTING,
                                            IDD_PASSWORD, IDD_CONNECTING, IDD_CONFIRM_TARGET}));
  const Json& password = *run.all("open", IDD_PASSWORD).at(0);
  EXPECT_EQ(password.at("caption"), "Enter Password Information");
  EXPECT_EQ(control_text(password, IDC_USER_NAME), "admin");
  EXPECT_EQ(control_text(password, IDC_PASSWORD), "");
  EXPECT_EQ(password.at("focus"), IDC_PASSWORD);
  std::string log = sim.log();
  EXPECT_NE(log.find("HTTP-AUTH ok nc=000000001"), std::string::npos) << log;
  EXPECT_NE(log.find("uri=\"\""), std::string::npos) << "the client sends an empty uri";
}

// Every exchange is held open for a second, so that each Connecting dialog
// moves its bar before the next attempt.
TEST_F(QueryTest, WrongPasswordWithAFixedNonceAsksAgainAtOnce) {
  Sim sim(sim_args({"--password", "right", "--nonce-policy", "fixed", "--http-keep-open", "1"}),
          DEVICE);
  WizardRun run = run_wizard(
      dir,
      base_script(phone) +
          "answer IDD_PASSWORD type IDC_USER_NAME someone ; type IDC_PASSWORD wrong ; press IDOK\n"
          "answer IDD_PASSWORD type IDC_PASSWORD right ; press IDOK\n"
          "answer IDD_CONFIRM_TARGET press IDCANCEL\n");
  EXPECT_EQ(run.opened(),
            (std::vector<int>{IDD_WARNING, IDD_ADDRESS_PHONE, IDD_CONNECTING, IDD_PASSWORD,
                              IDD_CONNECTING, IDD_PASSWORD, IDD_CONNECTING, IDD_CONFIRM_TARGET}));
  const Json& again = *run.all("open", IDD_PASSWORD).at(1);
  EXPECT_EQ(control_text(again, IDC_USER_NAME), "admin") << "the user name is offered afresh";
  EXPECT_EQ(control_text(again, IDC_PASSWORD), "") << "the password typed before is not offered";
  std::string log = sim.log();
  EXPECT_EQ(count_of(log, "HTTP-AUTH bad"), 1) << log;
  EXPECT_EQ(count_of(log, "HTTP-AUTH ok"), 1);
  EXPECT_NE(log.find("username=\"someone\""), std::string::npos);

  // The bar of each new Connecting dialog starts one step after where the
  // previous attempt's bar stopped (wrapping from 100 to 0).
  std::vector<int> attempts;
  for (const Json* open : run.all("open", IDD_CONNECTING))
    attempts.push_back(open->at("dialog").get<int>());
  ASSERT_EQ(attempts.size(), 3u);
  auto bar_of = [&](int dialog, const char* end) {
    std::vector<int> positions;
    for (const Json* batch : run.all("progress", IDD_CONNECTING))
      if (batch->at("dialog").get<int>() == dialog) positions.push_back(batch->at(end).get<int>());
    return positions;
  };
  for (std::size_t i = 1; i < attempts.size(); ++i) {
    std::vector<int> before = bar_of(attempts[i - 1], "last");
    std::vector<int> after = bar_of(attempts[i], "first");
    ASSERT_FALSE(before.empty() || after.empty()) << "attempt " << i << " moved no bar";
    EXPECT_EQ(after.front(), before.back() == 100 ? 0 : before.back() + 1) << "attempt " << i;
  }
}

TEST_F(QueryTest, WrongPasswordWithARotatingNonceRetriesOnceQuietly) {
  Sim sim(sim_args({"--password", "right", "--nonce-policy", "rotate"}), DEVICE);
  WizardRun run = run_wizard(dir, base_script(phone) +
                                      "answer IDD_PASSWORD type IDC_PASSWORD wrong ; press IDOK\n"
                                      "answer IDD_PASSWORD type IDC_PASSWORD right ; press IDOK\n"
                                      "answer IDD_CONFIRM_TARGET press IDCANCEL\n");
  EXPECT_EQ(run.opened(), (std::vector<int>{IDD_WARNING, IDD_ADDRESS_PHONE, IDD_CONNECTING,
                                            IDD_PASSWORD, IDD_CONNECTING, IDD_CONNECTING,
                                            IDD_PASSWORD, IDD_CONNECTING, IDD_CONFIRM_TARGET}));
  EXPECT_EQ(count_of(sim.log(), "HTTP-AUTH bad"), 2) << sim.log();
}

// The device answers the upgrade request but holds its connection open, so
// the checks after the transfer run while that query still waits on the main
// thread; the device refuses a nonce count it has seen with the same nonce.
TEST_F(QueryTest, ChecksBesideAHeldUpgradeRequestNeverRepeatANonceCount) {
  Sim sim(sim_args(
              {"--password", "pw", "--qop", "auth", "--hold-upgrade-request", "100", "--nc-check"}),
          DEVICE);
  WizardRun run =
      run_wizard(dir, base_script(phone) +
                          "answer IDD_PASSWORD type IDC_PASSWORD pw ; press IDOK\n"
                          "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_SUCCESS press IDOK\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.boxes().empty()) << run.summary();
  EXPECT_EQ(run.last_caption(IDD_SUCCESS), "QEL@127.0.0.2 Upgrade Successful!");
  std::string log = sim.log();
  ASSERT_EQ(count_of(log, "HTTP-HOLD"), 1) << log;
  EXPECT_EQ(count_of(log, "reason=nc-repeated"), 0) << log;
  // The check's first request still carries the nonce from before the
  // reflash, counted on from the upgrade request; the device's new nonce
  // then starts at 1.
  EXPECT_EQ(count_of(log, "HTTP-AUTH bad reason=stale-nonce"), 1) << log;
  EXPECT_EQ(count_of(log, "HTTP-AUTH ok nc=000000001"), 2) << log;
  EXPECT_EQ(count_of(log, "HTTP-AUTH ok nc=000000002"), 1) << log;
}

TEST_F(QueryTest, LongCredentialsAreCutTo126Characters) {
  std::string user(200, 'u');
  std::string password(200, 'p');
  Sim sim(sim_args({"--password", std::string(126, 'p'), "--user", std::string(126, 'u')}), DEVICE);
  WizardRun run = run_wizard(dir, base_script(phone) + "answer IDD_PASSWORD type IDC_USER_NAME " +
                                      user + " ; type IDC_PASSWORD " + password +
                                      " ; press IDOK\n"
                                      "answer IDD_CONFIRM_TARGET press IDCANCEL\n");
  EXPECT_EQ(run.opened(), (std::vector<int>{IDD_WARNING, IDD_ADDRESS_PHONE, IDD_CONNECTING,
                                            IDD_PASSWORD, IDD_CONNECTING, IDD_CONFIRM_TARGET}))
      << sim.log();
  EXPECT_NE(sim.log().find("username=\"" + std::string(126, 'u') + "\""), std::string::npos);
}

TEST_F(QueryTest, BadAddressesKeepTheDialogOpenUntilAGoodOne) {
  Sim sim(sim_args({}), DEVICE);
  std::string script =
      "addresses 127.0.0.1 127.0.0.3\nimage IDR_TARGET_IMAGE " + phone +
      "\nclock 20\ntimeout 60000\nanswer IDD_WARNING press IDOK\n"
      "answer IDD_ADDRESS_PHONE "
      "type IDC_DEVICE_ADDRESS 1.2.3 ; press IDOK ; "
      "type IDC_DEVICE_ADDRESS 0.0.0.0 ; press IDOK ; "
      "type IDC_DEVICE_ADDRESS 127.0.0.256 ; press IDOK ; "
      "type IDC_DEVICE_ADDRESS 127*0*0*2 ; select IDC_LOCAL_ADDRESS 1 ; press IDOK\n"
      "answer IDD_CONFIRM_TARGET press IDCANCEL\n";
  WizardRun run = run_wizard(dir, script);
  std::vector<const Json*> boxes = run.all("message_box");
  ASSERT_EQ(boxes.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(boxes[i]->at("text"), "Invalid IP Address");
    EXPECT_EQ(boxes[i]->at("title"), "Error");
    EXPECT_EQ(boxes[i]->at("owner_template"), IDD_ADDRESS_PHONE);
  }
  EXPECT_EQ(boxes[3]->at("text"), ABORT);
  const Json& local = combo(*run.all("open", IDD_ADDRESS_PHONE).at(0), IDC_LOCAL_ADDRESS);
  ASSERT_EQ(local.at("items").size(), 2u);
  EXPECT_EQ(local.at("items").at(0), "127.0.0.1");
  EXPECT_EQ(local.at("selection"), 0);
  EXPECT_EQ(run.last_caption(IDD_CONNECTING), "Connecting with QEL@127*0*0*2") << "shown as typed";
  EXPECT_NE(sim.log().find("HTTP-CONN from=127.0.0.3:"), std::string::npos)
      << "binds the chosen local address\n"
      << sim.log();
}

TEST_F(QueryTest, NoLocalAddressRefusesOkWithAReason) {
  std::string script =
      "addresses none\nimage IDR_TARGET_IMAGE " + phone +
      "\nclock 20\ntimeout 60000\nanswer IDD_WARNING press IDOK\n"
      "answer IDD_ADDRESS_PHONE type IDC_DEVICE_ADDRESS 127.0.0.2 ; press IDOK ; press IDCANCEL\n";
  WizardRun run = run_wizard(dir, script);
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_EQ(run.boxes().size(), 1u);
  EXPECT_NE(run.boxes()[0].find("no IPv4 address"), std::string::npos) << run.boxes()[0];
  EXPECT_EQ(run.all("open", IDD_CONNECTING).size(), 0u);
}

TEST_F(QueryTest, CancelInWarningOrAddressEndsSilently) {
  for (const char* answers :
       {"answer IDD_WARNING press IDCANCEL\n",
        "answer IDD_WARNING press IDOK\nanswer IDD_ADDRESS_PHONE press IDCANCEL\n"}) {
    std::string script = "image IDR_TARGET_IMAGE " + phone + "\ntimeout 30000\n" + answers;
    WizardRun run = run_wizard(dir, script);
    EXPECT_EQ(run.exit_code, 0) << answers;
    EXPECT_TRUE(run.boxes().empty()) << answers;
    EXPECT_EQ(run.all("open", IDD_CONNECTING).size(), 0u) << answers;
  }
}

TEST_F(QueryTest, CancelInThePasswordDialogAborts) {
  Sim sim(sim_args({"--password", "x"}), DEVICE);
  WizardRun run = run_wizard(dir, base_script(phone) + "answer IDD_PASSWORD press IDCANCEL\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.boxes(), std::vector<std::string>{ABORT});
  EXPECT_EQ(run.all("open", IDD_CONFIRM_TARGET).size(), 0u);
}

TEST_F(QueryTest, CancelWhileTheWorkerIsStillWaitingAbortsAtOnce) {
  Sim sim(sim_args({"--http-hang"}), DEVICE);
  auto start = std::chrono::steady_clock::now();
  // The bar steps every 10 polls of a timer tick: about 6 steps a second.
  WizardRun run =
      run_wizard(dir, base_script(phone, 1) + "answer IDD_CONNECTING delay " +
                          std::to_string(simtest::patient(1500ms).count()) + " ; press IDCANCEL\n");
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.boxes(), std::vector<std::string>{ABORT});
  EXPECT_LT(elapsed, simtest::patient(20s)) << "must not wait for the hung exchange";
  const Json& progress = *run.all("progress", IDD_CONNECTING).at(0);
  EXPECT_GT(progress.at("count").get<int>(), 5) << "the bar moves while waiting";
}

TEST_F(QueryTest, NoDeviceGivesNoResponse) {
  for (const char* flag : {"--http-refuse", "--http-close-without-answer"}) {
    Sim sim(sim_args({flag}), DEVICE);
    WizardRun run = run_wizard(dir, base_script(phone));
    EXPECT_EQ(run.exit_code, 0) << flag;
    EXPECT_EQ(run.boxes(), std::vector<std::string>{NO_RESPONSE}) << flag;
  }
}

TEST_F(QueryTest, VersionGateInTheTwoStageConfiguration) {
  std::string transition = write_image(dir, "transition.bin", "TpArMeM fIrMwArE", "5.1.8", 2048, 2);
  struct Case {
    const char* software;
    int confirm_template;
  } cases[] = {{"5.1.2(GR)", IDD_CONFIRM_TRANSITION},
               {"5.1.8", IDD_CONFIRM_TARGET},
               {"5.2.0", IDD_CONFIRM_TARGET},
               {"5.2.0(NT)", IDD_CONFIRM_TRANSITION}};
  for (const Case& c : cases) {
    Sim sim(sim_args({"--software", c.software}), DEVICE);
    WizardRun run = run_wizard(
        dir, base_script(phone) + "stage transition\nimage IDR_TRANSITION_IMAGE " + transition +
                 "\nanswer IDD_CONFIRM_TARGET press IDCANCEL\n"
                 "answer IDD_CONFIRM_TRANSITION press IDCANCEL\n");
    EXPECT_EQ(run.opened().back(), c.confirm_template) << c.software;
    const Json& confirm = *run.all("open", c.confirm_template).at(0);
    EXPECT_EQ(confirm.at("caption"), "Confirm Upgrade to Ver. 5.2.5") << c.software;
    bool note =
        control_text(confirm, IDC_CONFIRM_TEXT).get<std::string>().find("is older than 5.1.8") !=
        std::string::npos;
    EXPECT_EQ(note, c.confirm_template == IDD_CONFIRM_TRANSITION) << c.software;
  }
}

}  // namespace
}  // namespace e2e

// The wizard on a LAN (tests/lan/lan.sh): the PC's addresses come from its
// interfaces, with no `addresses` directive and a host name that maps to
// 127.0.1.1; the device is reached only from the address on its subnet.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/lan.h"
#include "support/wizard.h"

namespace {

using simtest::combo;
using simtest::control_text;
using simtest::Json;
using simtest::log_lines_starting;
using simtest::TempDir;
using simtest::WizardRun;

// Continue, then the local address chosen by its text and the device's
// address typed, in whichever address dialog the image calls for.
std::string lan_script(const std::string& image, const std::string& local,
                       const std::string& device) {
  std::string address = "select-text IDC_LOCAL_ADDRESS " + local + " ; type IDC_DEVICE_ADDRESS " +
                        device + " ; press IDOK\n";
  return "stage target\nimage IDR_TARGET_IMAGE " + image + "\nclock 20\ntimeout 120000\n" +
         "answer IDD_WARNING press IDOK\n" + "answer IDD_ADDRESS_PHONE " + address +
         "answer IDD_ADDRESS_ADAPTER " + address;
}

class LanTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(lan::ready()) << "main() runs the tests on the LAN"; }

  // The local addresses the address dialog offered.
  static std::vector<std::string> offered(const WizardRun& run) {
    std::vector<const Json*> opened = run.all("open", IDD_ADDRESS_PHONE);
    if (opened.empty()) return {};
    return combo(*opened[0], IDC_LOCAL_ADDRESS).at("items").get<std::vector<std::string>>();
  }

  TempDir dir;
  std::string phone =
      simtest::write_image(dir, "phone.bin", "TpArMeM fIrMwArE", "5.2.5", 871243, 3);
};

TEST_F(LanTest, OneStageUpgradeWithAPasswordFromTheInterfaceOnTheDevicesSubnet) {
  auto sim = lan::start_device(lan::device(0),
                               {"--password", "s3cret", "--qop", "auth", "--reboot-seconds", "0.3",
                                "--time-limit", "120", "--reference", dir.file(phone)});
  WizardRun run = simtest::run_wizard(
      dir, lan_script(phone, lan::PC, lan::device(0)) +
               "answer IDD_PASSWORD type IDC_PASSWORD s3cret ; press IDOK\n"
               "answer IDD_CONFIRM_TARGET press IDOK\nanswer IDD_SUCCESS press IDOK\n");
  EXPECT_EQ(run.exit_code, 0) << run.summary();
  EXPECT_TRUE(run.boxes().empty()) << run.summary();
  // Both interfaces, the one holding the default route first although it
  // comes second in interface order; neither the host name's 127.0.1.1 nor
  // loopback.
  EXPECT_EQ(offered(run), (std::vector<std::string>{lan::PC, lan::PC_OTHER}));
  EXPECT_EQ(run.all("open", IDD_PASSWORD).size(), 1u) << "the password is asked once";
  EXPECT_EQ(run.last_caption(IDD_SUCCESS), "QEL@198.51.100.20 Upgrade Successful!");
  EXPECT_EQ(control_text(*run.all("open", IDD_SUCCESS).at(0), IDC_NEW_VERSION), "5.2.5");

  std::string verdict = sim->stop();
  std::string log = sim->log();
  std::vector<std::string> connections = log_lines_starting(log, "HTTP-CONN ");
  ASSERT_GE(connections.size(), 4u) << log;
  for (const std::string& c : connections)
    EXPECT_EQ(c.rfind("HTTP-CONN from=198.51.100.10:", 0), 0u) << c;
  EXPECT_FALSE(log_lines_starting(log, "HTTP-AUTH ok").empty()) << log;
  std::vector<std::string> upgrade = log_lines_starting(log, "UPGRADE request");
  ASSERT_EQ(upgrade.size(), 1u) << log;
  EXPECT_NE(upgrade[0].find("server=198.51.100.10:69 file=/qel"), std::string::npos) << upgrade[0];
  EXPECT_EQ(log_lines_starting(log, "TFTP-PEER "),
            std::vector<std::string>{"TFTP-PEER 198.51.100.10:69"});
  EXPECT_EQ(simtest::json_value(verdict, "reference_match"), "true") << verdict;
  EXPECT_EQ(simtest::json_value(verdict, "reported_version"), "\"5.2.5\"") << verdict;
}

// From 203.0.113.10 the query leaves on the right wire, but the device has
// no way back to that subnet: no answer, as with any address of the wrong
// network.
TEST_F(LanTest, LocalAddressOfTheOtherInterfaceGetsNoResponse) {
  // The kernel abandons an unanswered connect after its SYN retries: about
  // 130 s with the default 6, 3 s with one. The namespace is this test's.
  const char* retries_file = "/proc/sys/net/ipv4/tcp_syn_retries";
  std::string retries = simtest::read_text(retries_file);
  std::ofstream(retries_file) << "1\n";
  ASSERT_EQ(simtest::read_text(retries_file), "1\n");
  auto sim = lan::start_device(lan::device(0), {"--time-limit", "200"});
  WizardRun run = simtest::run_wizard(dir, lan_script(phone, lan::PC_OTHER, lan::device(0)));
  EXPECT_EQ(run.exit_code, 0) << run.summary();
  EXPECT_EQ(run.boxes(), std::vector<std::string>{"Upgrade Failed: No Response From QEL"});
  std::vector<const Json*> inputs = run.all("input", IDD_ADDRESS_PHONE);
  ASSERT_FALSE(inputs.empty());
  EXPECT_EQ(inputs[0]->at("index"), 1) << "the second item, by its text";
  EXPECT_TRUE(run.all("open", IDD_CONFIRM_TARGET).empty()) << "nothing to confirm";

  std::string verdict = sim->stop();
  EXPECT_TRUE(log_lines_starting(sim->log(), "HTTP-REQ ").empty()) << sim->log();
  EXPECT_EQ(simtest::json_value(verdict, "upgrade_requests"), "0") << verdict;
  std::ofstream(retries_file) << retries;
}

// The second of two devices, in two stages; the first device hears nothing.
TEST_F(LanTest, TwoStageUpgradeOfOneOfTwoDevices) {
  std::string small = simtest::write_image(dir, "small.bin", "TpArMeM fIrMwArE", "5.2.5", 40960, 4);
  std::string transition =
      simtest::write_image(dir, "transition.bin", "TpArMeM fIrMwArE", "5.1.8", 30001, 6);
  auto bystander = lan::start_device(lan::device(0), {"--time-limit", "120"});
  auto sim = lan::start_device(lan::device(1),
                               {"--reboot-seconds", "0.3", "--time-limit", "120", "--reference",
                                dir.file(transition), "--reference", dir.file(small)});
  WizardRun run = simtest::run_wizard(
      dir, lan_script(small, lan::PC, lan::device(1)) +
               "stage transition\nimage IDR_TRANSITION_IMAGE " + transition +
               "\nanswer IDD_CONFIRM_TRANSITION press IDOK\nanswer IDD_SUCCESS press IDOK\n");
  EXPECT_EQ(run.exit_code, 0) << run.summary();
  EXPECT_TRUE(run.boxes().empty()) << run.summary();
  EXPECT_EQ(run.all("open", IDD_WAITING).size(), 2u) << "one wait per stage";
  EXPECT_EQ(run.last_caption(IDD_SUCCESS), "QEL@198.51.100.21 Upgrade Successful!");

  std::string verdict = sim->stop();
  std::vector<std::string> upgrade = log_lines_starting(sim->log(), "UPGRADE request");
  ASSERT_EQ(upgrade.size(), 2u) << sim->log();
  EXPECT_NE(upgrade[0].find("server=198.51.100.10:69 "), std::string::npos) << upgrade[0];
  EXPECT_NE(upgrade[0].find(".bi0"), std::string::npos) << upgrade[0];
  EXPECT_NE(upgrade[1].find("server=198.51.100.10:69 "), std::string::npos) << upgrade[1];
  EXPECT_NE(upgrade[1].find(".bi1"), std::string::npos) << upgrade[1];
  EXPECT_EQ(simtest::json_value(verdict, "reference_match"), "true") << verdict;
  EXPECT_EQ(simtest::json_value(verdict, "reboots"), "2") << verdict;

  bystander->stop();
  EXPECT_TRUE(log_lines_starting(bystander->log(), "HTTP-CONN ").empty()) << bystander->log();
}

}  // namespace

// The build's own configuration, with nothing replaced: its embedded images
// and the stage it starts in. The one-stage build serves the Target image
// once; the two-stage build serves its Transition image, then the Target
// image, to a device older than the Transition version.
#include <string>

#include "wizard_run.h"

namespace e2e {
namespace {

TEST(BuildConfiguration, UpgradesWithItsOwnImagesFromItsOwnStartingStage) {
  REQUIRE_NETNS();
  simtest::TempDir dir;
  simtest::Sim sim(sim_args({"--software", "5.1.2"}), DEVICE);
  const bool two_stage = QEL_INITIAL_STAGE == 0;
  std::ostringstream script;
  script << simtest::clock_and_limit(20, 120000) << "answer IDD_WARNING press IDOK\n"
         << "answer IDD_ADDRESS_ADAPTER type IDC_DEVICE_ADDRESS " << DEVICE << " ; press IDOK\n"
         << "answer IDD_ADDRESS_PHONE type IDC_DEVICE_ADDRESS " << DEVICE << " ; press IDOK\n"
         << "answer " << (two_stage ? "IDD_CONFIRM_TRANSITION" : "IDD_CONFIRM_TARGET")
         << " press IDOK\nanswer IDD_SUCCESS press IDOK\n";
  WizardRun run = run_wizard(dir, script.str());
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.boxes().empty()) << run.summary();
  EXPECT_EQ(run.all("open", IDD_SUCCESS).size(), 1u) << "the success dialog";

  std::vector<std::string> upgrades = log_lines_starting(sim.log(), "UPGRADE request");
  ASSERT_EQ(upgrades.size(), two_stage ? 2u : 1u) << sim.log();
  EXPECT_NE(upgrades.front().find(two_stage ? ".bi0" : ".bi1"), std::string::npos);
  EXPECT_NE(upgrades.back().find(".bi1"), std::string::npos);
  std::string verdict = sim.stop();
  EXPECT_EQ(simtest::json_value(verdict, "reported_version"), "\"5.2.5\"") << verdict;
}

}  // namespace
}  // namespace e2e

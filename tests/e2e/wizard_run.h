// End-to-end runs of the wizard: the scripted harness against the device
// simulator, inside a private network namespace so that ports 69 and 80 are
// ours and nothing leaves loopback. Running the wizard and the simulator is
// tests/support's; here are the usual script and flags of these tests.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/netns.h"
#include "support/process.h"
#include "support/sim.h"
#include "support/slowness.h"
#include "support/wizard.h"

namespace e2e {

using namespace std::chrono_literals;
using simtest::combo;
using simtest::control_text;
using simtest::dialog_thread;
using simtest::Json;
using simtest::log_lines_starting;
using simtest::run_wizard;
using simtest::WizardRun;
using simtest::write_image;

// The address the simulated device serves on, and the PC's side.
inline constexpr const char* DEVICE = "127.0.0.2";
inline constexpr const char* PC = "127.0.0.1";

// Skips the current test when no private network namespace could be made.
#define REQUIRE_NETNS()                                                     \
  do {                                                                      \
    if (!::simtest::in_private_netns())                                     \
      GTEST_SKIP() << "needs a private network namespace (unshare --net): " \
                   << ::simtest::netns_problem();                           \
  } while (0)

// The usual environment and answers of a run: the PC's real addresses (in
// the tests' namespace loopback alone, so 127.0.0.1), the given Target image, the clock scaled, a
// time limit, Continue, the device address typed into both address templates.
std::string base_script(const std::string& image_file, double clock_scale = 20);

// A simulator on DEVICE:80 with the given extra flags.
std::vector<std::string> sim_args(std::vector<std::string> extra);

}  // namespace e2e

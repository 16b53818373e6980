// End-to-end runs of the wizard: the scripted harness against the device
// simulator, inside a private network namespace so that ports 69 and 80 are
// ours and nothing leaves loopback.
#pragma once
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

using Json = nlohmann::json;

// The address the simulated device serves on, and the PC's side.
inline constexpr const char* DEVICE = "127.0.0.2";
inline constexpr const char* PC = "127.0.0.1";

// Skips the current test when no private network namespace could be made.
#define REQUIRE_NETNS()                                                     \
  do {                                                                      \
    if (!::e2e::in_private_netns())                                         \
      GTEST_SKIP() << "needs a private network namespace (unshare --net): " \
                   << ::e2e::netns_problem();                               \
  } while (0)

bool in_private_netns();
const std::string& netns_problem();

// Writes a firmware image into dir and returns its file name.
std::string write_image(const simtest::TempDir& dir, const std::string& name,
                        const std::string& magic, const std::string& version, std::uint32_t size,
                        std::uint64_t seed = 1);

struct WizardRun {
  int exit_code = -1;
  std::vector<Json> events;
  std::string output;  // the harness's standard output and error

  // The events of one kind, optionally only those of one template.
  std::vector<const Json*> all(const std::string& event, int template_id = 0) const;
  // Template ids of the dialogs in the order they opened (on one thread).
  std::vector<int> opened(const std::string& thread = "") const;
  // Texts of the message boxes, in order.
  std::vector<std::string> boxes() const;
  // The last text a dialog's caption had (its open caption or a later change).
  std::string last_caption(int template_id) const;
};

// Runs qel-upgrade-scripted with the script (written into dir) and returns
// the parsed transcript. Fails the test on a transcript that cannot be read.
WizardRun run_wizard(const simtest::TempDir& dir, const std::string& script);

// The usual environment and answers of a run: the PC's real addresses (in
// the tests' namespace loopback alone, so 127.0.0.1), the given Target image, the clock scaled, a
// time limit, Continue, the device address typed into both address templates.
std::string base_script(const std::string& image_file, double clock_scale = 20);

// The lines of a log that start with prefix (the simulator's log).
std::vector<std::string> log_lines_starting(const std::string& log, const std::string& prefix);

// A simulator on DEVICE:80 with the given extra flags.
std::vector<std::string> sim_args(std::vector<std::string> extra);

}  // namespace e2e

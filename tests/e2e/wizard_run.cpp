#include "wizard_run.h"

#include <sstream>

namespace e2e {

std::string base_script(const std::string& image_file, double clock_scale) {
  std::ostringstream s;
  // The tests say which stage they start in, so that they hold in both builds.
  s << "stage target\n"
    << "image IDR_TARGET_IMAGE " << image_file << "\n"
    << simtest::clock_and_limit(clock_scale, 120000) << "answer IDD_WARNING press IDOK\n"
    << "answer IDD_ADDRESS_ADAPTER type IDC_DEVICE_ADDRESS " << DEVICE << " ; press IDOK\n"
    << "answer IDD_ADDRESS_PHONE type IDC_DEVICE_ADDRESS " << DEVICE << " ; press IDOK\n";
  return s.str();
}

std::vector<std::string> sim_args(std::vector<std::string> extra) {
  std::vector<std::string> args = {"--http-port",      "80",
                                   "--time-limit",     simtest::patient_seconds(120),
                                   "--reboot-seconds", "0.3"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

}  // namespace e2e

// Every test runs in a network namespace of its own: the binary re-executes
// itself under unshare, brings loopback up and then runs the tests.
int main(int argc, char** argv) {
  simtest::enter_private_netns(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

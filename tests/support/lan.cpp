#include "support/lan.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "support/netns.h"

namespace lan {

std::string device(int n) { return "198.51.100." + std::to_string(20 + n); }

bool ready() { return std::getenv("LAN_DEVICE_NETNS") != nullptr; }

bool enter(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing |= std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
  if (listing || ready()) return true;
  std::string devices = std::to_string(DEVICES);
  std::vector<char*> args = {const_cast<char*>(QEL_LAN_SH), const_cast<char*>("--devices"),
                             devices.data(), const_cast<char*>("--")};
  for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  ::execv(QEL_LAN_SH, args.data());
  std::perror(QEL_LAN_SH);
  return false;
}

std::unique_ptr<simtest::Sim> start_device(const std::string& address,
                                           std::vector<std::string> args) {
  const char* netns = std::getenv("LAN_DEVICE_NETNS");
  if (!netns) throw std::runtime_error("not on the LAN (LAN_DEVICE_NETNS unset)");
  args.insert(args.begin(), {"--allow-any-address", "--http-port", "80"});
  simtest::InNetns devices(netns);
  return std::make_unique<simtest::Sim>(args, address);
}

}  // namespace lan

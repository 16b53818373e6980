#include "support/netns.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace simtest {

namespace {
std::string netns_error;
bool netns_ready = false;
}  // namespace

void enter_private_netns(int argc, char** argv) {
  if (!std::getenv("QEL_E2E_NETNS")) {
    bool gtest_listing = false;
    for (int i = 1; i < argc; ++i)
      gtest_listing |= std::string(argv[i]).rfind("--gtest_list_tests", 0) == 0;
    if (!gtest_listing && std::system("unshare --net --map-root-user true >/dev/null 2>&1") == 0) {
      ::setenv("QEL_E2E_NETNS", "1", 1);
      std::vector<char*> args = {const_cast<char*>("unshare"), const_cast<char*>("--net"),
                                 const_cast<char*>("--map-root-user"), const_cast<char*>("--")};
      for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
      args.push_back(nullptr);
      ::execvp("unshare", args.data());
    }
    netns_error = "unshare --net --map-root-user is not available here";
  } else if (std::system("ip link set lo up") != 0) {
    netns_error = "cannot bring loopback up in the namespace";
  } else {
    netns_ready = true;
  }
}

bool in_private_netns() { return netns_ready; }
const std::string& netns_problem() { return netns_error; }

InNetns::InNetns(const std::string& path) {
  home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  int target = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  bool entered = home_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
  int error = errno;
  if (target >= 0) ::close(target);
  if (!entered) {
    if (home_ >= 0) ::close(home_);
    throw std::runtime_error("cannot enter " + path + ": " + std::strerror(error));
  }
}

InNetns::~InNetns() {
  // Stranded in the other namespace, nothing after this would be right.
  if (::setns(home_, CLONE_NEWNET) != 0) std::abort();
  ::close(home_);
}

}  // namespace simtest

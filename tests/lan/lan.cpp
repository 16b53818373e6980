#include "lan.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

namespace lan {

namespace {

// Puts the calling thread into another network namespace until destroyed;
// the processes it forks meanwhile stay there.
class InNetns {
 public:
  explicit InNetns(const char* path) {
    home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = ::open(path, O_RDONLY | O_CLOEXEC);
    bool entered = home_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    int error = errno;
    if (target >= 0) ::close(target);
    if (!entered) {
      if (home_ >= 0) ::close(home_);
      throw std::runtime_error(std::string("cannot enter ") + path + ": " + std::strerror(error));
    }
  }
  ~InNetns() {
    if (::setns(home_, CLONE_NEWNET) != 0) std::abort();  // the PC's side is gone: nothing holds
    ::close(home_);
  }
  InNetns(const InNetns&) = delete;
  InNetns& operator=(const InNetns&) = delete;

 private:
  int home_ = -1;
};

}  // namespace

std::string device(int n) { return "198.51.100." + std::to_string(20 + n); }

bool ready() { return std::getenv("LAN_DEVICE_NETNS") != nullptr; }

std::unique_ptr<simtest::Sim> start_device(const std::string& address,
                                           std::vector<std::string> args) {
  const char* netns = std::getenv("LAN_DEVICE_NETNS");
  if (!netns) throw std::runtime_error("not on the LAN (LAN_DEVICE_NETNS unset)");
  args.insert(args.begin(), {"--allow-any-address", "--http-port", "80"});
  InNetns devices(netns);
  return std::make_unique<simtest::Sim>(args, address);
}

}  // namespace lan

// Without the LAN the binary runs itself again under lan.sh, which exits 77
// (a skip) with the reason when no namespace can be made here.
int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing |= std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
  if (!listing && !lan::ready()) {
    std::string devices = std::to_string(lan::DEVICES);
    std::vector<char*> args = {const_cast<char*>(QEL_LAN_SH), const_cast<char*>("--devices"),
                               devices.data(), const_cast<char*>("--")};
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(QEL_LAN_SH, args.data());
    std::perror(QEL_LAN_SH);
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

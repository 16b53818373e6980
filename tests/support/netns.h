// Network namespaces of the tests: a private one for a whole test program,
// with loopback alone, and entering another one (the LAN's devices' side).
#pragma once

#include <string>

namespace simtest {

// For a test program's main(): runs the program again in a network
// namespace of its own (unshare --net --map-root-user) and brings loopback
// up there. Returns in that namespace; or here, when none can be made or the
// tests are only being listed, with the reason in netns_problem().
void enter_private_netns(int argc, char** argv);
bool in_private_netns();
const std::string& netns_problem();

// Puts the calling thread into the network namespace at path (for example
// /proc/PID/ns/net) until destroyed; the processes it starts meanwhile stay
// there. Throws std::runtime_error when it cannot.
class InNetns {
 public:
  explicit InNetns(const std::string& path);
  ~InNetns();
  InNetns(const InNetns&) = delete;
  InNetns& operator=(const InNetns&) = delete;

 private:
  int home_ = -1;
};

}  // namespace simtest

// The platform's TCP connect on loopback, held to what the Windows stack does:
// a refused connection is tried again for about 2 s, an address that never
// answers is given up after about 21 s, and a signal never fails a connect.
#include "platform/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/posix/seams.h"

namespace {

constexpr std::uint32_t LOOPBACK = 0x7f000001;
using steady = std::chrono::steady_clock;

sockaddr_in loopback_address(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

std::uint16_t port_of(int fd) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  return ntohs(a.sin_port);
}

// A listening socket on the port (0: any), with the backlog given.
int listening(std::uint16_t port, int backlog) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int reuse = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in a = loopback_address(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A port on 127.0.0.1 that refuses connections: it was free a moment ago.
std::uint16_t refusing_port() {
  int probe = listening(0, 1);
  std::uint16_t port = port_of(probe);
  ::close(probe);
  return port;
}

// A listener whose queue is full: a connection it never accepts fills it,
// and from then on the SYNs of new connections are dropped without an answer.
struct FullListener {
  int fd = -1;
  int filler = -1;
  std::uint16_t port = 0;

  bool open() {
    fd = listening(0, 0);
    if (fd < 0) return false;
    port = port_of(fd);
    filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback_address(port);
    return ::connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  // Takes the queued connection: the next SYN is answered.
  void make_room() {
    int accepted = ::accept(fd, nullptr, nullptr);
    if (accepted >= 0) ::close(accepted);
  }
  ~FullListener() {
    if (filler >= 0) ::close(filler);
    if (fd >= 0) ::close(fd);
  }
};

class NetConnect : public ::testing::Test {
 protected:
  void TearDown() override { seam_set_clock(1.0, 0); }
};

// The device's network is up, its web server comes a second later.
TEST_F(NetConnect, RefusedConnectIsTriedAgainUntilTheServerListens) {
  seam_set_clock(1.0, 0);
  std::uint16_t port = refusing_port();
  std::atomic<int> server{-1};
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    server = listening(port, 4);
  });
  NetSocket socket = net_tcp_socket();
  ASSERT_NE(socket, NET_INVALID_SOCKET);
  int result = net_connect(socket, LOOPBACK, port);
  late.join();
  ASSERT_GE(server.load(), 0) << "the port was taken meanwhile";
  EXPECT_EQ(result, 0);
  net_close(socket);
  ::close(server);
}

TEST_F(NetConnect, RefusedConnectCountsAsNoAnswerAfterTwoSeconds) {
  seam_set_clock(20.0, 0);
  std::uint16_t port = refusing_port();
  NetSocket socket = net_tcp_socket();
  std::uint32_t start = clock_ms();
  EXPECT_NE(net_connect(socket, LOOPBACK, port), 0);
  EXPECT_GE(clock_ms() - start, 2000u) << "given up before its retries";
  net_close(socket);
}

TEST_F(NetConnect, SilentAddressIsGivenUpAfterTwentyOneSeconds) {
  seam_set_clock(10.0, 0);
  FullListener silent;
  ASSERT_TRUE(silent.open());
  NetSocket socket = net_tcp_socket();
  std::uint32_t start = clock_ms();
  auto real_start = steady::now();
  EXPECT_NE(net_connect(socket, LOOPBACK, silent.port), 0);
  EXPECT_GE(clock_ms() - start, 21000u);
  // The system's own SYN retries would go on for about two minutes.
  EXPECT_LT(steady::now() - real_start, std::chrono::seconds(30));
  net_close(socket);
}

std::atomic<int> signals{0};

// A slow handler (as a profiler's or a debugger's stop would be): the
// connection is made while it runs.
void slow_signal_handler(int) {
  ++signals;
  timespec pause{1, 500000000};
  ::nanosleep(&pause, nullptr);
}

// A signal reaches the thread while its connection is under way (the
// server's queue is full, so the system retries the SYN after a second) and
// the connection is made before the interrupted call is back: the connect
// still reports the connection, never a failure. At 20 times the clock the
// handler also keeps the thread past its deadline (21 s of program time,
// 1.05 s), as a busy machine may: the connection made meanwhile still counts.
class NetConnectInterrupted : public NetConnect, public ::testing::WithParamInterface<double> {};

TEST_P(NetConnectInterrupted, SignalDuringConnectWaitsForTheConnection) {
  seam_set_clock(GetParam(), 0);
  FullListener server;
  ASSERT_TRUE(server.open());
  struct sigaction handler {};
  struct sigaction saved {};
  handler.sa_handler = slow_signal_handler;  // no SA_RESTART: the call is interrupted
  sigemptyset(&handler.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &handler, &saved), 0);
  signals = 0;

  NetSocket socket = net_tcp_socket();
  std::atomic<int> result{-2};
  std::thread connecting([&] { result = net_connect(socket, LOOPBACK, server.port); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ::pthread_kill(connecting.native_handle(), SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  server.make_room();
  connecting.join();
  ::sigaction(SIGUSR1, &saved, nullptr);

  EXPECT_EQ(signals.load(), 1);
  EXPECT_EQ(result.load(), 0) << "the interrupted connect was reported as failed";
  net_close(socket);
}

INSTANTIATE_TEST_SUITE_P(Clock, NetConnectInterrupted, ::testing::Values(1.0, 20.0));

}  // namespace

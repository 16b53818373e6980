#include "http/http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "http/query.h"
#include "platform/posix/seams.h"
#include "platform/process.h"

// The device query takes its memory without exceptions; a test can make those
// requests fail on its own thread. Otherwise they behave as the standard ones.
namespace {
thread_local int nothrow_allocations_left = -1;  // -1: never fail

bool nothrow_allocation_fails() {
  if (nothrow_allocations_left == 0) return true;
  if (nothrow_allocations_left > 0) --nothrow_allocations_left;
  return false;
}
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (nothrow_allocation_fails()) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (nothrow_allocation_fails()) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

constexpr std::uint32_t LOOPBACK = 0x7f000001;  // 127.0.0.1
const char PLAIN_REQUEST_END[] = " HTTP/1.1\r\nHost: 192.168.2.110\r\n";

// A one-shot web server on 127.0.0.1: takes one connection, records the
// request and where it came from, sends the canned response and closes.
struct TestPeer {
  int listener = -1;
  std::uint16_t port = 0;
  std::string response;
  bool reply = true;
  std::string received;
  std::uint16_t client_port = 0;
  std::thread thread;
};

void peer_serve(TestPeer* peer) {
  pollfd waiting{peer->listener, POLLIN, 0};
  if (::poll(&waiting, 1, 10000) <= 0) return;
  sockaddr_in from{};
  socklen_t from_length = sizeof from;
  int connection = ::accept(peer->listener, reinterpret_cast<sockaddr*>(&from), &from_length);
  if (connection < 0) return;
  peer->client_port = ntohs(from.sin_port);
  char chunk[4096];
  while (peer->received.find("\r\n\r\n") == std::string::npos) {
    pollfd readable{connection, POLLIN, 0};
    if (::poll(&readable, 1, 10000) <= 0) break;
    ssize_t n = ::recv(connection, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    peer->received.append(chunk, static_cast<std::size_t>(n));
  }
  if (peer->reply) {
    std::size_t sent = 0;
    while (sent < peer->response.size()) {
      ssize_t n = ::send(connection, peer->response.data() + sent, peer->response.size() - sent,
                         MSG_NOSIGNAL);
      if (n <= 0) break;  // the client stops reading once its buffer is full
      sent += static_cast<std::size_t>(n);
    }
  }
  ::close(connection);
}

void peer_start(TestPeer* peer, const std::string& response, bool reply = true) {
  peer->response = response;
  peer->reply = reply;
  peer->listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(peer->listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(LOOPBACK);
  ASSERT_EQ(::bind(peer->listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(peer->listener, 1), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(peer->listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  peer->port = ntohs(address.sin_port);
  peer->thread = std::thread(peer_serve, peer);
}

void peer_join(TestPeer* peer) {
  if (peer->thread.joinable()) peer->thread.join();
  if (peer->listener >= 0) ::close(peer->listener);
  peer->listener = -1;
}

// A socket holding 127.0.0.1:port, or -1 when the port is not free.
int occupy_port(std::uint16_t port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(LOOPBACK);
  address.sin_port = htons(port);
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

DeviceInfo filled_info() {
  DeviceInfo info;
  std::strcpy(info.product_name, "old product");
  std::strcpy(info.mac_address, "old mac");
  std::strcpy(info.software_version, "old software");
  std::strcpy(info.hardware_version, "old hardware");
  std::strcpy(info.serial_number, "old serial");
  return info;
}

bool same_info(const DeviceInfo& a, const DeviceInfo& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Runs one exchange from 127.0.0.1 (any port) against the peer.
int exchange(TestPeer* peer, const char* path, DigestState* digest, DeviceInfo* info) {
  int result = http_get(LOOPBACK, 0, LOOPBACK, peer->port, path, response_buffer, RESPONSE_CAPACITY,
                        digest, info);
  peer_join(peer);
  return result;
}

// Outside the death tests the exchange must never end the process; a test
// that did would otherwise pass with exit code 0.
[[noreturn]] void unexpected_exit(int code) {
  std::fprintf(stderr, "unexpected process_exit(%d) from the exchange\n", code);
  std::_Exit(99);
}

class HttpGet : public ::testing::Test {
 protected:
  void SetUp() override { process_set_exit_hook(unexpected_exit); }
  void TearDown() override { process_set_exit_hook(nullptr); }
};

const char INFO_PAGE[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><table>\r\n"
    "<tr><td>Product Name:</td><td>QEL-2102</td></tr>\r\n"
    "<tr><td>MAC Address:</td><td>00:0E:08:12:34:56</td></tr>\r\n"
    "<tr><td>Software Version:</td><td>3.1.0(a)</td></tr>\r\n"
    "<tr><td>Hardware Version:</td><td>1.2.3 (Rev B)</td></tr>\r\n"
    "<tr><td>Serial Number:</td><td>FM123456</td></tr>\r\n</table></html>";

TEST_F(HttpGet, RequestWithoutPasswordHasNoAuthorizationLine) {
  TestPeer peer;
  peer_start(&peer, INFO_PAGE);
  DigestState digest{};
  std::strcpy(digest.user_name, "admin");  // a user name alone does not authenticate
  std::strcpy(digest.nonce, "N");
  digest.nonce_count = 3;
  DeviceInfo info{};
  int result = exchange(&peer, "/admin/advanced", &digest, &info);
  EXPECT_EQ(peer.received, std::string("GET /admin/advanced") + PLAIN_REQUEST_END + "\r\n");
  EXPECT_EQ(result, static_cast<int>(std::strlen(INFO_PAGE)));
  EXPECT_EQ(digest.nonce_count, 3u);
}

TEST_F(HttpGet, RequestWithPasswordCountsAndAuthenticates) {
  DigestState digest{};
  std::strcpy(digest.user_name, "admin");
  std::strcpy(digest.password, "pw");
  std::strcpy(digest.realm, "QEL");
  std::strcpy(digest.nonce, "abc123");
  std::strcpy(digest.counted_nonce, "abc123");
  std::strcpy(digest.cnonce, "1f");
  std::strcpy(digest.qop, "auth");
  std::strcpy(digest.opaque, "op");
  digest.nonce_count = 4;

  // The line must be the one for the incremented count.
  DigestState expected_state = digest;
  expected_state.nonce_count = 5;
  char line[DIGEST_AUTHORIZATION_SIZE];
  digest_authorization(&expected_state, line);
  ASSERT_NE(std::strstr(line, ",nc=000000005,"), nullptr);

  for (int round = 0; round < 2; ++round) {
    TestPeer peer;
    peer_start(&peer, INFO_PAGE);
    DeviceInfo info{};
    exchange(&peer, "/admin/upgrade?tftp://127.0.0.1:69/qel1a2b.bi1", &digest, &info);
    EXPECT_EQ(peer.received, std::string("GET /admin/upgrade?tftp://127.0.0.1:69/qel1a2b.bi1") +
                                 PLAIN_REQUEST_END + line + "\r\n");
    EXPECT_EQ(digest.nonce_count, 5u + round);
    ++expected_state.nonce_count;
    digest_authorization(&expected_state, line);
  }
}

TEST_F(HttpGet, LocalPortWalksPastTakenPorts) {
  // The last case leaves exactly one of the 101 ports free.
  for (int taken : {2, 100}) {
    std::vector<int> held;
    for (int i = 0; i < taken; ++i) {
      int s = occupy_port(static_cast<std::uint16_t>(23456 + i));
      ASSERT_GE(s, 0) << "port " << 23456 + i << " is not free on this host";
      held.push_back(s);
    }
    TestPeer peer;
    peer_start(&peer, "HTTP/1.1 404 Not Found\r\n\r\n");
    DigestState digest{};
    DeviceInfo info{};
    int result = http_get(LOOPBACK, 23456, LOOPBACK, peer.port, "/", response_buffer,
                          RESPONSE_CAPACITY, &digest, &info);
    peer_join(&peer);
    for (int s : held) ::close(s);
    EXPECT_EQ(peer.client_port, 23456 + taken);
    EXPECT_GT(result, 0);
  }
}

TEST_F(HttpGet, UnauthorizedWithChallengeStoresItAndLeavesInfo) {
  TestPeer peer;
  peer_start(&peer,
             "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"QEL\", "
             "nonce=\"n-777\", qop=\"auth\", algorithm=\"MD5\"\r\n\r\n"
             "<td>Product Name:</td><td>must not be taken</td>");
  DigestState digest{};
  DeviceInfo info = filled_info();
  const DeviceInfo before = info;
  EXPECT_EQ(exchange(&peer, "/admin/advanced", &digest, &info), -1);
  EXPECT_TRUE(same_info(info, before));
  EXPECT_STREQ(digest.realm, "QEL");
  EXPECT_STREQ(digest.nonce, "n-777");
  EXPECT_STREQ(digest.counted_nonce, "n-777");
  EXPECT_STREQ(digest.qop, "auth");
  EXPECT_STREQ(digest.algorithm, "MD5");
  EXPECT_NE(digest.cnonce[0], '\0');
}

TEST_F(HttpGet, UnauthorizedWithoutUsableChallengeCountsAsAnswer) {
  const std::string response =
      "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"QEL\"\r\n\r\n"
      "<td>Product Name:</td><td>QEL-9</td>";
  TestPeer peer;
  peer_start(&peer, response);
  DigestState digest{};
  DeviceInfo info = filled_info();
  EXPECT_EQ(exchange(&peer, "/", &digest, &info), static_cast<int>(response.size()));
  EXPECT_STREQ(info.product_name, "QEL-9");
  EXPECT_STREQ(digest.realm, "QEL");  // kept although the nonce was missing
}

TEST_F(HttpGet, OtherVersionCountsBytesAndExtractsFields) {
  std::string page = INFO_PAGE;
  page.replace(0, 8, "HTTP/1.0");
  page.erase(page.find("<tr><td>Serial"), std::string::npos);  // one label missing
  TestPeer peer;
  peer_start(&peer, page);
  DigestState digest{};
  DeviceInfo info = filled_info();
  EXPECT_EQ(exchange(&peer, "/admin/advanced", &digest, &info), static_cast<int>(page.size()));
  EXPECT_STREQ(info.product_name, "QEL-2102");
  EXPECT_STREQ(info.mac_address, "00:0E:08:12:34:56");
  EXPECT_STREQ(info.software_version, "3.1.0(a)");
  EXPECT_STREQ(info.hardware_version, "1.2.3 (Rev B)");
  EXPECT_STREQ(info.serial_number, "old serial");
  EXPECT_EQ(std::string(response_buffer), page);
}

TEST_F(HttpGet, StatusLineAloneIsCounted) {
  TestPeer peer;
  peer_start(&peer, "HTTP/1.1");
  DigestState digest{};
  DeviceInfo info = filled_info();
  const DeviceInfo before = info;
  EXPECT_EQ(exchange(&peer, "/", &digest, &info), 8);
  EXPECT_STREQ(response_buffer, "HTTP/1.1");
  EXPECT_TRUE(same_info(info, before));
}

TEST_F(HttpGet, OversizedResponseFillsCapacityExactly) {
  std::string response = "HTTP/1.1 200 OK\r\n\r\n";
  for (int i = 0; response.size() < 200000; ++i) response += static_cast<char>('a' + i % 26);
  std::memset(response_buffer, 'Q', sizeof response_buffer);
  TestPeer peer;
  peer_start(&peer, response);
  DigestState digest{};
  DeviceInfo info{};
  EXPECT_EQ(exchange(&peer, "/", &digest, &info), 131071);
  EXPECT_EQ(response_buffer[131071], '\0');
  EXPECT_EQ(std::memcmp(response_buffer, response.data(), 131071), 0);
}

TEST_F(HttpGet, NeverWritesPastCapacityPlusOne) {
  const int capacity = 64;
  std::vector<char> buffer(capacity + 1 + 32, 'G');
  TestPeer peer;
  peer_start(&peer, std::string("HTTP/1.1 200 OK\r\n\r\n") + std::string(500, 'x'));
  DigestState digest{};
  DeviceInfo info{};
  int result =
      http_get(LOOPBACK, 0, LOOPBACK, peer.port, "/", buffer.data(), capacity, &digest, &info);
  peer_join(&peer);
  EXPECT_EQ(result, capacity);
  EXPECT_EQ(buffer[capacity], '\0');
  for (int i = capacity + 1; i < static_cast<int>(buffer.size()); ++i) ASSERT_EQ(buffer[i], 'G');
}

TEST_F(HttpGet, PeerClosingWithoutAnswerGivesZero) {
  TestPeer peer;
  peer_start(&peer, "", false);
  DigestState digest{};
  DeviceInfo info = filled_info();
  const DeviceInfo before = info;
  EXPECT_EQ(exchange(&peer, "/admin/advanced", &digest, &info), 0);
  EXPECT_FALSE(peer.received.empty());  // the request did go out
  EXPECT_TRUE(same_info(info, before));
}

TEST_F(HttpGet, RefusedConnectionGivesZero) {
  // A port that was just free and has no listener refuses the connection.
  int probe = occupy_port(0);
  ASSERT_GE(probe, 0);
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::close(probe);
  DigestState digest{};
  DeviceInfo info = filled_info();
  const DeviceInfo before = info;
  EXPECT_EQ(http_get(LOOPBACK, 0, LOOPBACK, ntohs(address.sin_port), "/", response_buffer,
                     RESPONSE_CAPACITY, &digest, &info),
            0);
  EXPECT_TRUE(same_info(info, before));
}

std::mutex traced_lock;
std::vector<std::string> traced;
void collect_trace(const char* text) {
  std::lock_guard<std::mutex> lock(traced_lock);
  traced.emplace_back(text);
}

TEST_F(HttpGet, TracesRequestAndResponse) {
  traced.clear();
  seam_set_trace_sink(collect_trace);
  TestPeer peer;
  peer_start(&peer, "HTTP/1.1 204 No Content\r\n\r\n");
  DigestState digest{};
  DeviceInfo info{};
  exchange(&peer, "/t", &digest, &info);
  seam_set_trace_sink(nullptr);
  const std::vector<std::string> expected = {std::string("GET /t") + PLAIN_REQUEST_END + "\r\n",
                                             "recv done\n", "HTTP/1.1 204 No Content\r\n\r\n",
                                             "\n"};
  EXPECT_EQ(traced, expected);
}

TEST(HttpGetDeathTest, AllLocalPortsTakenEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        for (int port = 23456; port <= 23556; ++port) occupy_port(static_cast<std::uint16_t>(port));
        DigestState digest{};
        DeviceInfo info{};
        http_get(LOOPBACK, 23456, LOOPBACK, 9, "/", response_buffer, RESPONSE_CAPACITY, &digest,
                 &info);
      },
      ::testing::ExitedWithCode(0), "Upgrade Failed: Can't bind HTTP socket");
}

TEST(HttpGetDeathTest, NoSocketEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        rlimit limit;
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 0;  // no new descriptor can be had
        ::setrlimit(RLIMIT_NOFILE, &limit);
        DigestState digest{};
        DeviceInfo info{};
        http_get(LOOPBACK, 23456, LOOPBACK, 9, "/", response_buffer, RESPONSE_CAPACITY, &digest,
                 &info);
      },
      ::testing::ExitedWithCode(0), "Upgrade Failed: Can't open HTTP socket");
}

// ---- device queries ----

// A port on 127.0.0.1 that refuses connections: it was free a moment ago.
std::uint16_t refusing_port() {
  int probe = occupy_port(0);
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(probe);
  return ntohs(address.sin_port);
}

const char UPGRADE_PAGE[] = "HTTP/1.1 200 OK\r\n\r\n<p>Upgrading firmware, please wait...</p>";

// A web server on 127.0.0.1 that serves every connection on a thread of its
// own, as the device does. An upgrade request is held unanswered until
// release(); anything else gets the information page at once.
class ConcurrentPeer {
 public:
  ConcurrentPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(LOOPBACK);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::listen(listener_, 8);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { accept_connections(); });
  }
  ~ConcurrentPeer() {
    release();
    stop_ = true;
    acceptor_.join();
    for (std::thread& t : served_) t.join();
    ::close(listener_);
  }
  bool wait_for_requests(std::size_t count) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return requests_.size() >= count; });
  }
  void release() {
    std::lock_guard lock(lock_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> requests() {
    std::lock_guard lock(lock_);
    return requests_;
  }

  std::uint16_t port = 0;

 private:
  void accept_connections() {
    while (!stop_) {
      pollfd waiting{listener_, POLLIN, 0};
      if (::poll(&waiting, 1, 50) <= 0) continue;
      int connection = ::accept(listener_, nullptr, nullptr);
      if (connection >= 0) served_.emplace_back([this, connection] { serve(connection); });
    }
  }
  void serve(int connection) {
    std::string request;
    char chunk[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      pollfd readable{connection, POLLIN, 0};
      if (::poll(&readable, 1, 10000) <= 0) break;
      ssize_t n = ::recv(connection, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      request.append(chunk, static_cast<std::size_t>(n));
    }
    bool upgrade = request.rfind("GET /admin/upgrade", 0) == 0;
    {
      std::unique_lock lock(lock_);
      requests_.push_back(request);
      changed_.notify_all();
      if (upgrade) changed_.wait_for(lock, std::chrono::seconds(10), [&] { return released_; });
    }
    std::string response = upgrade ? UPGRADE_PAGE : INFO_PAGE;
    ::send(connection, response.data(), response.size(), MSG_NOSIGNAL);
    ::close(connection);
  }

  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> requests_;
  bool released_ = false;
  std::thread acceptor_;
  std::vector<std::thread> served_;  // only the acceptor adds to it
};

std::string nonce_count_sent(const std::string& request) {
  std::size_t at = request.find(",nc=");
  return at == std::string::npos ? "" : request.substr(at + 4, 9);
}

class QueryDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    process_set_exit_hook(unexpected_exit);
    saved_digest_ = digest_state;
    device_info_snapshot(&saved_info_);
    digest_state = DigestState{};
    publish_device_info(filled_info(), FOUND_ALL_FIELDS);
  }
  void TearDown() override {
    digest_state = saved_digest_;
    publish_device_info(saved_info_, FOUND_ALL_FIELDS);
    process_set_exit_hook(nullptr);
  }
  static int query(std::uint16_t port, const char* path) {
    return query_device(nullptr, LOOPBACK, 0, LOOPBACK, port, path, response_buffer,
                        RESPONSE_CAPACITY);
  }

 private:
  DigestState saved_digest_;
  DeviceInfo saved_info_;
};

// The device holds the upgrade request open while another thread reads the
// information page: the second request must count on from the first, and
// the upgrade request, ending last, must not bring back what it saw before.
TEST_F(QueryDevice, OverlappingQueriesNeverRepeatACountNorRestoreOlderValues) {
  std::strcpy(digest_state.user_name, "admin");
  std::strcpy(digest_state.password, "pw");
  std::strcpy(digest_state.realm, "QEL");
  std::strcpy(digest_state.nonce, "n-1");
  std::strcpy(digest_state.counted_nonce, "n-1");
  std::strcpy(digest_state.cnonce, "1f");
  std::strcpy(digest_state.qop, "auth");
  digest_state.nonce_count = 1;

  ConcurrentPeer device;
  int upgrade_result = -2;
  std::thread upgrade([&] {
    upgrade_result = query(device.port, "/admin/upgrade?tftp://127.0.0.1:69/qel1a2b.bi1");
  });
  bool held = device.wait_for_requests(1);
  int result = held ? query(device.port, "/admin/advanced") : 0;
  device.release();
  upgrade.join();
  ASSERT_TRUE(held);

  EXPECT_EQ(result, static_cast<int>(std::strlen(INFO_PAGE)));
  EXPECT_EQ(upgrade_result, static_cast<int>(std::strlen(UPGRADE_PAGE)));
  std::vector<std::string> requests = device.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(nonce_count_sent(requests[0]), "000000002") << requests[0];
  EXPECT_EQ(nonce_count_sent(requests[1]), "000000003") << requests[1];
  EXPECT_EQ(digest_state.nonce_count, 3u) << "the count never goes back";
  EXPECT_STREQ(digest_state.nonce, "n-1");

  DeviceInfo info;
  device_info_snapshot(&info);
  EXPECT_STREQ(info.product_name, "QEL-2102");
  EXPECT_STREQ(info.mac_address, "00:0E:08:12:34:56");
  EXPECT_STREQ(info.software_version, "3.1.0(a)");
  EXPECT_STREQ(info.hardware_version, "1.2.3 (Rev B)");
  EXPECT_STREQ(info.serial_number, "FM123456");
}

// 259 is what a Windows thread reports while it still runs; as a byte count
// it is a result like any other.
TEST_F(QueryDevice, ExchangeOf259BytesIsReturned) {
  std::string response = "HTTP/1.1 200 OK\r\n\r\n";
  response.resize(259, 'x');
  TestPeer peer;
  peer_start(&peer, response);
  EXPECT_EQ(query(peer.port, "/admin/advanced"), 259);
  peer_join(&peer);
  EXPECT_EQ(std::string(response_buffer), response);
}

TEST(QueryDeviceDeathTest, NoMemoryForTheQueryEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::uint16_t port = refusing_port();
  // No memory for the query's record, then none for its buffer.
  for (int granted : {0, 1}) {
    EXPECT_EXIT(
        {
          nothrow_allocations_left = granted;
          query_device(nullptr, LOOPBACK, 0, LOOPBACK, port, "/admin/advanced", response_buffer,
                       RESPONSE_CAPACITY);
        },
        ::testing::ExitedWithCode(0), "Upgrade Failed: Can't malloc for device query")
        << "allocations granted: " << granted;
  }
}

TEST(ClassifyResponse, Codes) {
  struct Case {
    const char* text;
    int expected;
  };
  const Case cases[] = {
      {"", -1},
      {"HTTP/1.0 200 OK\r\n", -1},
      {"http/1.1 200 OK\r\n", -1},
      {"HTTP/1.", -1},
      {" HTTP/1.1 200 OK", -1},
      {"HTTP/1.1", -2},
      {"HTTP/1.1 ", -2},
      {"HTTP/1.1 \t \t  ", -2},
      {"HTTP/1.1\t", -2},
      {"HTTP/1.1 200 OK\r\n\r\n", 0},
      {"HTTP/1.1 \t 200 OK", 0},
      {"HTTP/1.1X200", 0},  // the separator is skipped whatever it is
      {"HTTP/1.1200", 2},   // ... so here the status reads "00"
      {"HTTP/1.1 2000", 0},
      {"HTTP/1.1 \r\n200", 2},  // only blanks and tabs are skipped
      {"HTTP/1.1 20", 2},
      {"HTTP/1.1 404 Not Found\r\n\r\n", 2},
      {"HTTP/1.1 302 Found\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n\"\r\n", 2},
      {"HTTP/1.1 401 Unauthorized\r\n\r\n", 2},
      {"HTTP/1.1 401 Unauthorized\r\nwww-authenticate: Digest realm=\"r\", nonce=\"n\"\r\n", 2},
      {"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"r\"\r\n", 2},
      {"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n\"\r\n", 1},
      {"HTTP/1.1 401 X\r\nWWW-Authenticate: Basic\r\n\r\nrealm=\"r\" nonce=\"n\"", 1},
      // The challenge is taken only after the header name, not before it.
      {"HTTP/1.1 401 realm=\"r\" nonce=\"n\"\r\nWWW-Authenticate: Digest\r\n", 2},
  };
  for (const Case& c : cases) {
    DigestState digest{};
    EXPECT_EQ(classify_response(c.text, static_cast<int>(std::strlen(c.text)), &digest), c.expected)
        << '"' << c.text << '"';
    if (c.expected != 1) {
      EXPECT_EQ(digest.nonce[0], '\0') << '"' << c.text << '"';
    }
  }
}

TEST(ClassifyResponse, UsableChallengeIsStored) {
  DigestState digest{};
  const char text[] =
      "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"QEL\", nonce=\"abc\", "
      "opaque=\"xyz\"\r\n\r\n";
  ASSERT_EQ(classify_response(text, 0, &digest), 1);
  EXPECT_STREQ(digest.realm, "QEL");
  EXPECT_STREQ(digest.nonce, "abc");
  EXPECT_STREQ(digest.opaque, "xyz");
}

TEST(ExtractField, Cases) {
  const std::string long_value(200, 'v');
  struct Case {
    const char* name;
    std::string text;
    const char* label;
    int limit;
    bool found;
    std::string expected;
  };
  const Case cases[] = {
      {"plain cell", "<td>Product Name:</td><td>QEL-2102</td>", "Product Name:", 127, true,
       "QEL-2102"},
      {"missing label", "<td>Product:</td><td>QEL</td>", "Product Name:", 127, false, ""},
      {"labels are case-sensitive", "<td>product name:</td><td>x</td>", "Product Name:", 127, false,
       ""},
      {"adjacent tags skipped as one run",
       "<td>MAC Address:</td><td></td></tr>\r\n<tr><td>next</td>", "MAC Address:", 127, true,
       "\r\n"},
      {"nothing trimmed or decoded", "<b>Serial Number:</b> A &amp; B \r\n<br>",
       "Serial Number:", 127, true, " A &amp; B \r\n"},
      {"value cut at the limit", "<td>Software Version:</td><td>" + long_value + "</td>",
       "Software Version:", 127, true, std::string(127, 'v')},
      {"small limit", "<td>Software Version:</td><td>3.1.0</td>", "Software Version:", 3, true,
       "3.1"},
      {"value runs to the end of the text", "Hardware Version:>1.2", "Hardware Version:", 127, true,
       "1.2"},
      {"label without any later >", "Serial Number: 123 <b", "Serial Number:", 127, false, ""},
      {"tags run out", "Serial Number:</td><td", "Serial Number:", 127, false, ""},
      {"text ends right after >", "<td>Serial Number:</td>", "Serial Number:", 127, true, ""},
      {"first occurrence counts", "Product Name:>one< Product Name:>two<", "Product Name:", 127,
       true, "one"},
      {"label in the header lines", "HTTP/1.1 200 OK\r\nX-MAC Address: <a>hdr</a>",
       "MAC Address:", 127, true, "hdr"},
  };
  for (const Case& c : cases) {
    char destination[200];
    std::memset(destination, 'D', sizeof destination);
    destination[sizeof destination - 1] = '\0';
    const std::string before = destination;
    char* result = extract_field(c.text.c_str(), c.label, destination, c.limit);
    if (c.found) {
      EXPECT_EQ(result, destination) << c.name;
      EXPECT_EQ(std::string(destination), c.expected) << c.name;
    } else {
      EXPECT_EQ(result, nullptr) << c.name;
      EXPECT_EQ(std::string(destination), before) << c.name;
    }
  }
}

}  // namespace

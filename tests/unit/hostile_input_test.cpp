// Input a hostile or broken device (or a careless user) can send: each case
// states what the program must do with it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/app.h"
#include "firmware/firmware.h"
#include "http/digest.h"
#include "http/http.h"
#include "platform/net.h"
#include "platform/posix/seams.h"
#include "platform/trace_text.h"
#include "tftp/tftp.h"
#include "support/udp_peer.h"
#include "ui/ui.h"

namespace {

using namespace udp_peer;

std::string challenge(const std::string& directives) {
  return "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest " + directives + "\r\n\r\n";
}

// ---- digest challenges ----

TEST(HostileChallenge, OverlongValuesAreCutToTheirFieldsAndStayUsable) {
  DigestState d{};
  std::string text =
      challenge("realm=\"" + std::string(400, 'R') + "\",nonce=\"" + std::string(4000, 'N') +
                "\",qop=\"" + std::string(60, 'q') + "\",algorithm=\"" + std::string(40, 'a') +
                "\",opaque=\"" + std::string(300, 'O') + "\"");
  ASSERT_EQ(classify_response(text.c_str(), static_cast<int>(text.size()), &d), 1);
  EXPECT_EQ(std::string(d.realm), std::string(127, 'R'));
  EXPECT_EQ(std::string(d.nonce), std::string(127, 'N'));
  EXPECT_EQ(std::string(d.counted_nonce), std::string(127, 'N'));
  EXPECT_EQ(std::string(d.qop), std::string(15, 'q'));
  EXPECT_EQ(std::string(d.algorithm), std::string(15, 'a'));
  EXPECT_EQ(std::string(d.opaque), std::string(127, 'O'));

  // The longest line such a state can give still fits its room.
  std::memset(d.user_name, 'u', 126);
  std::memset(d.password, 'p', 126);
  d.nonce_count = 0xffffffffu;
  char line[DIGEST_AUTHORIZATION_SIZE + 64];
  std::memset(line, '#', sizeof line);
  int length = digest_authorization(&d, line);
  EXPECT_LT(length, DIGEST_AUTHORIZATION_SIZE);
  EXPECT_EQ(std::strlen(line), static_cast<std::size_t>(length));
  EXPECT_EQ(line[DIGEST_AUTHORIZATION_SIZE], '#') << "nothing written past the room";
  EXPECT_NE(std::string(line).find(",nc=0ffffffff,"), std::string::npos) << line;
}

TEST(HostileChallenge, MalformedChallengesAreNotUsable) {
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"realm without a quote", challenge("realm=QEL,nonce=\"n\"")},
      {"nonce without a quote", challenge("realm=\"QEL\",nonce=abc")},
      {"no nonce", challenge("realm=\"QEL\"")},
      {"directive names in another case", challenge("Realm=\"QEL\",Nonce=\"n\"")},
      {"blank before the equals sign", challenge("realm =\"QEL\",nonce =\"n\"")},
      {"header name in lower case",
       "HTTP/1.1 401 X\r\nwww-authenticate: Digest realm=\"r\",nonce=\"n\"\r\n"},
      {"nothing after the header name", "HTTP/1.1 401 X\r\nWWW-Authenticate:"},
  };
  for (const Case& c : cases) {
    DigestState d{};
    EXPECT_EQ(classify_response(c.text.c_str(), 0, &d), 2) << c.what;
    EXPECT_EQ(d.nonce[0], '\0') << c.what;
  }
}

TEST(HostileChallenge, ValuesRunToTheEndWithoutAClosingQuote) {
  DigestState d{};
  std::string text = "HTTP/1.1 401 X\r\nWWW-Authenticate: Digest realm=\"QEL\",nonce=\"abc";
  ASSERT_EQ(classify_response(text.c_str(), 0, &d), 1);
  EXPECT_STREQ(d.nonce, "abc");
  // An empty value is found all the same: the challenge is usable.
  DigestState e{};
  text = "HTTP/1.1 401 X\r\nWWW-Authenticate: Digest realm=\"\",nonce=\"";
  EXPECT_EQ(classify_response(text.c_str(), 0, &e), 1);
  EXPECT_STREQ(e.realm, "");
  EXPECT_STREQ(e.nonce, "");
}

// ---- labels and their values ----

TEST(HostileLabels, LabelsWithoutClosingTagsGiveNothingAndKeepTheField) {
  const char* pages[] = {
      "HTTP/1.1 200 OK\r\n\r\nProduct Name: QEL-742",      // no tag at all
      "HTTP/1.1 200 OK\r\n\r\n<td>Product Name:</td><td",  // the next tag never closes
      "HTTP/1.1 200 OK\r\n\r\n<td>Product Name:<b><i><u",  // a run of unclosed tags
      "HTTP/1.1 200 OK\r\n\r\nProduct Name:",              // the text ends at the label
  };
  for (const char* page : pages) {
    char field[128] = "earlier";
    EXPECT_EQ(extract_field(page, "Product Name:", field, 127), nullptr) << page;
    EXPECT_STREQ(field, "earlier") << page;
  }
}

TEST(HostileLabels, AValueWithoutItsClosingTagRunsToTheEndWithinTheLimit) {
  char field[128];
  ASSERT_NE(extract_field("<td>MAC Address:</td><td>00:0E:08", "MAC Address:", field, 127),
            nullptr);
  EXPECT_STREQ(field, "00:0E:08");
  std::string long_page = "<td>MAC Address:</td><td>" + std::string(5000, 'A');
  ASSERT_NE(extract_field(long_page.c_str(), "MAC Address:", field, 127), nullptr);
  EXPECT_EQ(std::string(field), std::string(127, 'A'));
}

// ---- responses at the size of the buffer ----

// A web server on loopback that sends one canned response and closes.
class OneShotServer {
 public:
  explicit OneShotServer(std::string response) : response_(std::move(response)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(LOOPBACK);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    socklen_t length = sizeof sa;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &length);
    port_ = ntohs(sa.sin_port);
    ::listen(listener_, 1);
    thread_ = std::thread([this] { serve(); });
  }
  ~OneShotServer() {
    thread_.join();
    ::close(listener_);
  }
  std::uint16_t port() const { return port_; }
  std::size_t sent() const { return sent_; }

 private:
  void serve() {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return;
    int c = ::accept(listener_, nullptr, nullptr);
    if (c < 0) return;
    std::string request;
    char chunk[2048];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(c, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      request.append(chunk, static_cast<std::size_t>(n));
    }
    while (sent_ < response_.size()) {
      ssize_t n = ::send(c, response_.data() + sent_, response_.size() - sent_, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent_ += static_cast<std::size_t>(n);
    }
    ::close(c);
  }

  std::string response_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::size_t sent_ = 0;
  std::thread thread_;
};

// A page of exactly size bytes whose last row's value ends with its last byte.
std::string page_of_size(std::size_t size) {
  std::string head = "HTTP/1.1 200 OK\r\n\r\n<td>Product Name:</td><td>QEL-742</td>";
  std::string tail = "<td>Serial Number:</td><td>SN-123";
  std::string page = head + std::string(size - head.size() - tail.size(), ' ') + tail;
  EXPECT_EQ(page.size(), size);
  return page;
}

// The trace a debug build prints carries the device's page: its escape
// sequences (7-bit and 8-bit) never reach the terminal.
TEST(HostileResponse, TracedPagesCannotDriveTheTerminal) {
  char shown[64];
  trace_printable(
      "A\x1b]0;t\x07\x9b"
      "2J\x7f\r\nB\rC\tD\n",
      shown, sizeof shown);
  EXPECT_STREQ(shown, "A\\x1b]0;t\\x07\\x9b2J\\x7f\nB\\x0dC\tD\n");
  trace_printable("\x1b\x1b\x1b", shown, 9);  // room for two escapes only
  EXPECT_STREQ(shown, "\\x1b\\x1b");
}

TEST(HostileResponse, ExactlyTheCapacityIsReadWhole) {
  std::vector<char> buffer(RESPONSE_BUFFER_SIZE, '#');
  OneShotServer server(page_of_size(131071));
  DigestState digest{};
  DeviceInfo info{};
  int got = http_get(LOOPBACK, 0, LOOPBACK, server.port(), "/admin/advanced", buffer.data(),
                     RESPONSE_CAPACITY, &digest, &info);
  EXPECT_EQ(got, 131071);
  EXPECT_EQ(buffer[131071], '\0');
  EXPECT_STREQ(info.product_name, "QEL-742");
  EXPECT_STREQ(info.serial_number, "SN-123");
}

TEST(HostileResponse, OneByteMoreIsCutAtTheCapacity) {
  std::vector<char> buffer(RESPONSE_BUFFER_SIZE, '#');
  OneShotServer server(page_of_size(131072));
  DigestState digest{};
  DeviceInfo info{};
  int got = http_get(LOOPBACK, 0, LOOPBACK, server.port(), "/admin/advanced", buffer.data(),
                     RESPONSE_CAPACITY, &digest, &info);
  EXPECT_EQ(got, 131071);
  EXPECT_EQ(buffer[131071], '\0') << "the NUL still fits, nothing past the buffer";
  EXPECT_STREQ(info.serial_number, "SN-12") << "the last byte was never read";
}

// ---- datagrams reaching the listener ----

class ListenerInput : public ::testing::Test {
 protected:
  void SetUp() override { set_request_file_name("/qel1a2b.bi1"); }
  static int classify(const Bytes& b) {
    // A copy of exactly the datagram's bytes, so reading past it would show.
    std::vector<char> copy(b.begin(), b.end());
    return classify_listener_datagram(copy.data(), static_cast<int>(copy.size()));
  }
};

// Which names and datagrams the listener serves: TftpServer.ListenerServesOnly*.

TEST_F(ListenerInput, DatagramsOfAFullPacketAndMoreAreReadSafely) {
  // 1,024 bytes: the right request with a long tail of options.
  Bytes full = tftp_rrq("/qel1a2b.bi1");
  full.resize(1024, 'x');
  EXPECT_EQ(classify(full), LISTENER_SERVE);
  // A name that fills the whole packet has no room for its NUL.
  Bytes name_only = {0, 1};
  name_only.resize(1024, 'n');
  EXPECT_EQ(classify(name_only), LISTENER_DROP);

  // Longer than a packet: the read fails, as on Windows, and the datagram is
  // gone; it is never read cut short (here: as the right request).
  NetSocket server = net_udp_socket();
  ASSERT_EQ(net_bind(server, LOOPBACK, 0), 0);
  sockaddr_in at{};
  socklen_t length = sizeof at;
  ::getsockname(static_cast<int>(server), reinterpret_cast<sockaddr*>(&at), &length);
  int peer = ::socket(AF_INET, SOCK_DGRAM, 0);
  Bytes big = tftp_rrq("/qel1a2b.bi1");
  big.resize(1500, 'y');
  ASSERT_EQ(::sendto(peer, big.data(), big.size(), 0, reinterpret_cast<sockaddr*>(&at), sizeof at),
            1500);
  ASSERT_TRUE(net_wait_readable(server, 2000));
  char request[TFTP_PACKET_SIZE + 16];
  std::memset(request, '#', sizeof request);
  std::uint32_t from = 0;
  std::uint16_t from_port = 0;
  int received = net_recvfrom(server, request, TFTP_PACKET_SIZE, &from, &from_port);
  EXPECT_LT(received, 0);
  EXPECT_EQ(request[TFTP_PACKET_SIZE], '#');
  EXPECT_EQ(classify_listener_datagram(request, received), LISTENER_IDLE);
  EXPECT_FALSE(net_wait_readable(server, 0)) << "the long datagram is still there";
  ::close(peer);
  net_close(server);
}

// ---- datagrams reaching the transfer ----

// A device on loopback UDP that answers each packet from the server with the
// datagrams a test gives for it (or nothing), and records what it received.
class ScriptedPeer {
 public:
  ScriptedPeer() { EXPECT_GE(fd_ = bind_udp(0, &port_), 0); }
  ~ScriptedPeer() {
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  std::uint16_t port() const { return port_; }

  // answers[i]: what to send after the i-th packet received; afterwards each
  // packet is acknowledged properly.
  void start(std::vector<std::vector<Bytes>> answers) {
    thread_ = std::thread([this, answers] {
      for (std::size_t i = 0;; ++i) {
        std::uint16_t from_port = 0;
        Bytes packet = receive(fd_, 500, &from_port);
        if (packet.empty()) return;  // the transfer is over
        if (packet.size() < 4) continue;
        received.push_back(packet);
        std::vector<Bytes> replies;
        if (i < answers.size())
          replies = answers[i];
        else
          replies = {tftp_ack(opcode_of(packet) == TFTP_OACK ? 0 : block_of(packet))};
        for (const Bytes& r : replies) send_to(fd_, r, from_port);
      }
    });
  }
  void wait() { thread_.join(); }

  std::vector<Bytes> received;

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

class TransferInput : public ::testing::Test {
 protected:
  void SetUp() override {
    image.resize(2000);
    for (std::size_t i = 0; i < image.size(); ++i)
      image[i] = static_cast<unsigned char>(i * 31 + 7);
    target_image = FirmwareImage{image.data(), static_cast<std::uint32_t>(image.size()), {}};
    wizard.upgrade_stage.store(STAGE_TARGET);
    std::strcpy(wizard.device_address_text, "127.0.0.1");
    seam_set_clock(20, 0);  // resend intervals of a few milliseconds
    server = net_udp_socket();
    net_bind(server, LOOPBACK, 0);
  }
  void TearDown() override {
    seam_set_clock(1, 0);
    net_close(server);
  }

  // Runs the transfer to the scripted peer; returns transfer_failed.
  int run(ScriptedPeer& peer) {
    int failed = -1;
    TftpSession* session =
        run_tftp_session(server, LOOPBACK, 69, LOOPBACK, peer.port(), "/qel1a2b.bi1", &failed);
    dialog_destroy(session->upload_dialog);
    std::free(session);
    peer.wait();
    return failed;
  }

  Bytes image;
  NetSocket server = NET_INVALID_SOCKET;
};

TEST_F(TransferInput, ShortDatagramsFromThePeerNeverCountAsAcknowledgements) {
  ScriptedPeer peer;
  // After the OACK: a proper ACK 0. After DATA 1 (whose header left block
  // number 1 in the server's buffer): 0, 1 and 3 bytes only, so nothing may
  // move until DATA 1 is resent.
  peer.start({{{0, 4, 0, 0}}, {{}, {0}, {0, 4, 0}}});
  EXPECT_EQ(run(peer), 0);
  ASSERT_GE(peer.received.size(), 3u);
  EXPECT_EQ(peer.received[1][1], TFTP_DATA);
  EXPECT_EQ(block_of(peer.received[1]), 1);
  EXPECT_EQ(peer.received[2][1], TFTP_DATA);
  EXPECT_EQ(block_of(peer.received[2]), 1) << "block 1 resent, not block 2 sent";
  for (const Bytes& p : peer.received) EXPECT_NE(p[1], TFTP_ERROR);
}

// A full packet is read by its header; a longer datagram is not read at all
// (as on Windows), even when it starts as the right acknowledgement.
TEST_F(TransferInput, FullPacketAcknowledgementCountsALongerOneIsLost) {
  ScriptedPeer peer;
  Bytes ack0 = {0, 4, 0, 0};
  ack0.resize(1024, 0xee);  // exactly a packet
  Bytes ack1 = {0, 4, 0, 1};
  ack1.resize(1025, 0xdd);  // one byte longer than the server reads
  peer.start({{ack0}, {ack1}});
  EXPECT_EQ(run(peer), 0);
  ASSERT_GE(peer.received.size(), 4u);
  EXPECT_EQ(block_of(peer.received[1]), 1);
  EXPECT_EQ(block_of(peer.received[2]), 1) << "the long ACK of block 1 moved the transfer on";
  EXPECT_EQ(block_of(peer.received[3]), 2);
  // Every block arrived as it is in the image (block 1 twice).
  Bytes got;
  std::uint16_t next = 1;
  for (const Bytes& p : peer.received)
    if (p[1] == TFTP_DATA && block_of(p) == next) {
      got.insert(got.end(), p.begin() + 4, p.end());
      ++next;
    }
  EXPECT_EQ(got, image);
}

TEST_F(TransferInput, ARepeatedReadRequestDoesNotRestartTheTransfer) {
  ScriptedPeer peer;
  Bytes rrq = {0, 1};
  for (char c : std::string("/qel1a2b.bi1")) rrq.push_back(static_cast<unsigned char>(c));
  rrq.insert(rrq.end(), {0, 'o', 'c', 't', 'e', 't', 0});
  peer.start({{{0, 4, 0, 0}}, {{0, 4, 0, 1}, rrq}});
  EXPECT_EQ(run(peer), 0);
  int oacks = 0;
  for (const Bytes& p : peer.received) oacks += p[1] == TFTP_OACK;
  EXPECT_EQ(oacks, 1);
}

// ---- typed addresses ----

TEST(HostileAddress, SixteenCharactersOrMoreAreRefusedForLength) {
  const char* texts[] = {"001.002.003.0045", "1.2.3.4.........", "255.255.255.2555",
                         "1.2.3.4.5.6.7.8.9.10.11.12.13.14.15.16.17.18.19.20.21.22.23.24.25.26.2"};
  for (const char* t : texts) {
    std::uint32_t address = 1;
    EXPECT_EQ(parse_ip_address(t, &address), 4) << t;
    EXPECT_EQ(address, 0u) << t;
  }
}

TEST(HostileAddress, OddSeparators) {
  struct {
    const char* text;
    int code;
    std::uint32_t address;
  } cases[] = {
      {"1,2,3,4", 5, 0},
      {"1;2;3;4", 5, 0},
      {"1 2 3 4", 5, 0},
      {"1/2/3/4", 5, 0},
      {"1:2:3:4", 5, 0},
      {"1.2.3.4\n", 5, 0},
      {"1.2.3.4\t", 5, 0},
      {"1\xef\xbc\x8e"
       "2.3.4",
       5, 0},  // a full-width dot
      {"1*2.3*4", 0, 0x01020304},
      {"1**2..3**4", 0, 0x01020304},
      {"***1.2.3.4", 0, 0x01020304},
      {"1.2.3.4***", 0, 0x01020304},
      {".......", 3, 0},
      {"*******", 3, 0},
  };
  for (const auto& c : cases) {
    std::uint32_t address = 1;
    EXPECT_EQ(parse_ip_address(c.text, &address), c.code) << c.text;
    EXPECT_EQ(address, c.address) << c.text;
  }
}

TEST(HostileAddress, TheLongestTextTheDialogReadsIsRefused) {
  std::memset(wizard.LocalAddressList, 0, sizeof wizard.LocalAddressList);
  wizard.LocalAddressList[0] = LOOPBACK;
  std::string text(62, '1');
  text[1] = text[5] = text[9] = '.';
  std::strcpy(wizard.device_address_text, text.c_str());
  wizard.DeviceAddress = 5;
  EXPECT_EQ(accept_device_address(0), ADDRESS_INVALID);
  EXPECT_EQ(wizard.DeviceAddress, 0u);
}

}  // namespace

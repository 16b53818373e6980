// The upgrade cycle: the simulator's TFTP client against tftpd-hpa and against
// a server with the product's wire behaviour, the TFTP faults, and the reflash.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

#include "harness.h"

namespace simtest {
namespace {

const Bytes kImage = make_image(871243, "5.2.5");

// tftpd-hpa in the foreground on a free port of 127.0.0.1.
class TftpdHpa {
 public:
  explicit TftpdHpa(const std::string& root)
      : port_(free_port()),
        process_(
            {"/usr/sbin/in.tftpd", "-L", "-s", root, "-a", "127.0.0.1:" + std::to_string(port_)}) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0100007F:%04X", port_);
    listening_ = wait_until(
        [&] { return read_text("/proc/net/udp").find(hex) != std::string::npos; }, patient(5s));
  }
  ~TftpdHpa() { process_.stop(); }
  uint16_t port() const { return port_; }
  bool listening() const { return listening_; }

 private:
  static uint16_t free_port() {
    int probe = bind_udp("127.0.0.1");
    uint16_t port = udp_port(probe);
    ::close(probe);
    return port;
  }

  uint16_t port_ = 0;
  Process process_;
  bool listening_ = false;
};

// Serves files the way the product does: from its listening port, always an
// OACK with tsize and timeout (other options declined), 512-byte blocks in
// lock-step, ACKs accepted only from the requesting port, resends on silence
// until it gives up: after max_expiries silent intervals on the default build,
// more on a slow one, where the device may stall that long.
struct ServerOptions {
  uint64_t tsize_extra = 0;  // announce a wrong size
  std::chrono::milliseconds resend{50};
  int max_expiries = 10;
};

class ProductStyleServer {
 public:
  explicit ProductStyleServer(std::map<std::string, Bytes> files,
                              ServerOptions opt = ServerOptions())
      : files_(std::move(files)),
        opt_(opt),
        fd_(bind_udp("127.0.0.1")),
        thread_([this] { run(); }) {}
  ~ProductStyleServer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }

  uint16_t port() const { return udp_port(fd_); }
  std::vector<Datagram> received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::vector<uint16_t> acks() const {
    std::vector<uint16_t> out;
    for (const Datagram& d : received())
      if (opcode(d.data) == 4) out.push_back(block_of(d.data));
    return out;
  }
  // When each block (0 = the OACK) was sent, resends included: read just
  // before the send, so that no reply can be stamped earlier than that.
  std::multimap<uint32_t, std::chrono::steady_clock::time_point> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }

 private:
  std::optional<Datagram> next(std::chrono::milliseconds timeout) {
    auto d = recv_datagram(fd_, timeout);
    std::lock_guard lock(mutex_);
    if (d) received_.push_back(*d);
    return d;
  }

  void run() {
    while (!stop_) {
      auto d = next(50ms);
      if (!d || opcode(d->data) != 1) continue;
      auto end = std::find(d->data.begin() + 2, d->data.end(), 0);
      auto file = files_.find(std::string(d->data.begin() + 2, end));
      if (file != files_.end()) serve(file->second, d->from);
    }
  }

  void serve(const Bytes& image, const sockaddr_in& peer) {
    Bytes oack = {0, 6};
    for (std::string s : {std::string("tsize"), std::to_string(image.size() + opt_.tsize_extra),
                          std::string("timeout"), std::string("5")}) {
      oack.insert(oack.end(), s.begin(), s.end());
      oack.push_back(0);
    }
    const uint32_t blocks = uint32_t(image.size() / 512 + 1);
    uint32_t current = 0;
    auto send_current = [&] {
      Bytes packet = oack;
      if (current > 0) {
        packet = {0, 3, uint8_t(current >> 8), uint8_t(current)};
        size_t at = size_t(current - 1) * 512;
        packet.insert(packet.end(), image.begin() + long(at),
                      image.begin() + long(std::min(image.size(), at + 512)));
      }
      auto at = std::chrono::steady_clock::now();
      send_datagram(fd_, peer, packet);
      std::lock_guard lock(mutex_);
      sent_.emplace(current, at);
    };
    send_current();
    const int max_expiries = patient_count(opt_.max_expiries);
    for (int expiries = 0; !stop_ && expiries < max_expiries;) {
      auto d = next(opt_.resend);
      if (!d) {
        ++expiries;
        send_current();
        continue;
      }
      bool from_peer =
          d->from.sin_addr.s_addr == peer.sin_addr.s_addr && d->from.sin_port == peer.sin_port;
      if (from_peer && opcode(d->data) == 4 && block_of(d->data) == uint16_t(current)) {
        expiries = 0;
        if (++current > blocks) return;
        send_current();
      }
    }
  }

  const std::map<std::string, Bytes> files_;
  const ServerOptions opt_;
  const int fd_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<Datagram> received_;
  std::multimap<uint32_t, std::chrono::steady_clock::time_point> sent_;
  std::thread thread_;
};

int request_upgrade(const Sim& sim, uint16_t tftp_port, const std::string& file,
                    const std::string& auth = "") {
  std::string path = "/admin/upgrade?tftp://127.0.0.1:" + std::to_string(tftp_port) + file;
  return status_of(http_exchange(sim.address(), sim.port(), product_request(path, auth)).text);
}

std::string page(const Sim& sim) {
  return http_exchange(sim.address(), sim.port(), product_request("/admin/advanced")).text;
}

// The device's TFTP client waits 300 ms (scaled) three times for each packet.
std::vector<std::string> fast(std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"--reboot-seconds",  "0.2",
                                   "--tftp-timeout-ms", std::to_string(patient(300ms).count()),
                                   "--tftp-tries",      "3"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(TftpdHpa, FetchesCompleteIdenticalImageFromItsNewPortThenReportsItsVersion) {
  TempDir root;
  write_bytes(root.file("qel1a2b.bi1"), kImage);
  TftpdHpa server(root.path());
  ASSERT_TRUE(server.listening());
  Sim sim(fast({"--reference", root.file("qel1a2b.bi1")}));
  ASSERT_EQ(request_upgrade(sim, server.port(), "/qel1a2b.bi1"), 200);
  ASSERT_TRUE(sim.wait_log("REBOOT done version=5.2.5")) << sim.log().substr(0, 2000);
  EXPECT_NE(page(sim).find("Software Version:</td><td>5.2.5<"), std::string::npos);

  std::string log = sim.log();
  EXPECT_NE(log.find("TFTP-TX RRQ /qel1a2b.bi1 octet tsize=0 timeout=5\n"), std::string::npos);
  EXPECT_NE(log.find("TFTP-RX OACK tsize=871243 timeout=5 len=25\n"), std::string::npos);
  EXPECT_NE(log.find("TFTP-RX DATA block=1702 len=335\nTFTP-TX ACK block=1702\n"),
            std::string::npos);
  std::string v = sim.stop();
  EXPECT_EQ(json_value(v, "complete"), "true") << v;
  EXPECT_EQ(json_value(v, "identical"), "true");
  EXPECT_EQ(json_value(v, "bytes"), "871243");
  EXPECT_EQ(json_value(v, "header_version"), "\"5.2.5\"");
  EXPECT_EQ(json_value(v, "reference_match"), "true");
  EXPECT_EQ(json_value(v, "reported_version"), "\"5.2.5\"");
  EXPECT_NE(json_value(v, "peer"), "\"127.0.0.1:" + std::to_string(server.port()) + "\"")
      << "tftpd-hpa answers from a new port";
}

TEST(TftpdHpa, BlockSizeAcceptedByTheServerIsFollowed) {
  TempDir root;
  write_bytes(root.file("fw.bin"), kImage);
  TftpdHpa server(root.path());
  ASSERT_TRUE(server.listening());
  Sim sim(fast(
      {"--rrq-options", "tsize=0,timeout=5,blksize=1428", "--reference", root.file("fw.bin")}));
  ASSERT_EQ(request_upgrade(sim, server.port(), "/fw.bin"), 200);
  ASSERT_TRUE(sim.wait_log("REBOOT done"));
  EXPECT_NE(sim.log().find("TFTP-RX DATA block=1 len=1432\n"), std::string::npos);
  std::string v = sim.stop();
  EXPECT_EQ(json_value(v, "block_size"), "1428");
  EXPECT_EQ(json_value(v, "identical"), "true");
}

TEST(ProductStyle, AnswerFromTheListeningPortAndDeclinedBlockSizeKeep512) {
  ProductStyleServer server({{"/qel1a2b.bi1", kImage}});
  Sim sim(fast({"--rrq-options", "tsize=0,timeout=5,blksize=1428"}));
  ASSERT_EQ(request_upgrade(sim, server.port(), "/qel1a2b.bi1"), 200);
  ASSERT_TRUE(sim.wait_log("REBOOT done version=5.2.5"));
  Bytes rrq = server.received().at(0).data;
  std::string text(rrq.begin() + 2, rrq.end());
  EXPECT_EQ(text, std::string("/qel1a2b.bi1\0octet\0tsize\0"
                              "0\0timeout\0"
                              "5\0blksize\0"
                              "1428\0",
                              50));
  std::string v = sim.stop();
  EXPECT_EQ(json_value(v, "peer"), "\"127.0.0.1:" + std::to_string(server.port()) + "\"");
  EXPECT_EQ(json_value(v, "block_size"), "512");
  EXPECT_EQ(json_value(v, "complete"), "true");
}

TEST(ProductStyle, RequestWithoutOptionsIsServedAndTheUnaskedOptionsAreNoted) {
  ProductStyleServer server({{"/a.bin", make_image(1024, "1.0")}});
  TempDir dir;
  write_bytes(dir.file("other.bin"), make_image(1024, "1.1"));
  Sim sim(fast({"--rrq-options", "none", "--reference", dir.file("other.bin")}));
  ASSERT_EQ(request_upgrade(sim, server.port(), "/a.bin"), 200);
  ASSERT_TRUE(sim.wait_log("REBOOT done version=1.0"));
  EXPECT_EQ(server.received().at(0).data.size(), 2u + 7 + 6) << "name and mode only";
  // 1024 bytes: two full blocks, then an empty third one.
  EXPECT_NE(sim.log().find("TFTP-RX DATA block=3 len=4\n"), std::string::npos);
  std::string v = sim.stop();
  EXPECT_EQ(json_value(v, "unrequested_options"), "[\"tsize\",\"timeout\"]");
  EXPECT_EQ(json_value(v, "complete"), "true");
  EXPECT_EQ(json_value(v, "identical"), "false");
  EXPECT_EQ(json_value(v, "reference_match"), "false");
}

TEST(ProductStyle, WrongTsizeOrBadHeaderIsNotFlashed) {
  {
    ProductStyleServer server({{"/a.bin", kImage}}, {.tsize_extra = 1});
    Sim sim(fast());
    ASSERT_EQ(request_upgrade(sim, server.port(), "/a.bin"), 200);
    ASSERT_TRUE(sim.wait_log("UPGRADE failed"));
    std::string v = sim.stop();
    EXPECT_EQ(json_value(v, "complete"), "false");
    EXPECT_EQ(json_value(v, "tsize"), "871244");
    EXPECT_EQ(json_value(v, "reboots"), "0");
  }
  {
    ProductStyleServer server({{"/a.bin", make_image(2000, "5.2.5", "")}});
    Sim sim(fast());
    ASSERT_EQ(request_upgrade(sim, server.port(), "/a.bin"), 200);
    ASSERT_TRUE(sim.wait_log("UPGRADE rejected"));
    EXPECT_NE(page(sim).find("5.1.2(GR)"), std::string::npos);
    std::string v = sim.stop();
    EXPECT_EQ(json_value(v, "complete"), "true");
    EXPECT_EQ(json_value(v, "header_ok"), "false");
    EXPECT_EQ(json_value(v, "reboots"), "0");
  }
}

TEST(AckFaults, DropDuplicateAndReorderAsTheServerSeesThem) {
  Bytes image = make_image(5000, "2.0");  // blocks 1..10
  ProductStyleServer server({{"/f", image}});
  Sim sim(fast({"--ack-drop", "3", "--ack-dup", "5", "--ack-reorder", "7"}));
  ASSERT_EQ(request_upgrade(sim, server.port(), "/f"), 200);
  ASSERT_TRUE(sim.wait_log("REBOOT done version=2.0")) << sim.log();
  std::vector<uint16_t> acks = server.acks();
  EXPECT_EQ(std::count(acks.begin(), acks.end(), 3), 1) << "the first ACK 3 was dropped";
  EXPECT_GE(server.sent().count(3), 2u) << "so the server had to resend block 3";
  EXPECT_EQ(std::count(acks.begin(), acks.end(), 5), 2);
  auto seven = std::find(acks.begin(), acks.end(), 7);
  ASSERT_TRUE(seven != acks.end() && seven + 1 != acks.end());
  EXPECT_EQ(*(seven + 1), 6) << "a stale ACK follows ACK 7";
  EXPECT_NE(sim.log().find("TFTP-FAULT drop-ack block=3"), std::string::npos);
  EXPECT_EQ(json_value(sim.stop(), "complete"), "true");
}

TEST(AckFaults, DelayHoldsTheAckBack) {
  ProductStyleServer server({{"/f", make_image(3000, "2.0")}}, {.max_expiries = 20});
  Sim sim(fast({"--ack-delay", "2", "--ack-delay-ms", "300"}));
  ASSERT_EQ(request_upgrade(sim, server.port(), "/f"), 200);
  ASSERT_TRUE(sim.wait_log("REBOOT done"));
  // Stamped before DATA 2 went out and when ACK 2 was read: a late server
  // thread can only widen the gap, never narrow it.
  auto sent = server.sent();
  ASSERT_GT(sent.count(2), 0u);
  auto data2 = sent.lower_bound(2)->second;  // its first send
  std::vector<Datagram> got = server.received();
  auto ack2 = std::find_if(got.begin(), got.end(), [](const Datagram& d) {
    return opcode(d.data) == 4 && block_of(d.data) == 2;
  });
  ASSERT_NE(ack2, got.end());
  EXPECT_GE(ack2->at - data2, 300ms);
}

TEST(AckFaults, SeededProbabilityIsReproducible) {
  auto drops = [](const std::string& seed) {
    ProductStyleServer server({{"/f", make_image(20000, "2.0")}});
    Sim sim(fast({"--ack-drop", "p=0.2", "--seed", seed}));
    EXPECT_EQ(request_upgrade(sim, server.port(), "/f"), 200);
    EXPECT_TRUE(sim.wait_log("REBOOT done"));
    std::string lines, log = sim.log();
    for (size_t at = log.find("TFTP-FAULT drop-ack"); at != std::string::npos;
         at = log.find("TFTP-FAULT drop-ack", at + 1))
      lines += log.substr(at, log.find('\n', at) - at) + ";";
    return lines;
  };
  std::string first = drops("42");
  EXPECT_NE(first, "");
  EXPECT_EQ(drops("42"), first);
  EXPECT_NE(drops("43"), first);
}

TEST(TftpFaults, NeverAckLeavesTheDeviceOnItsOldVersion) {
  ProductStyleServer server({{"/f", make_image(3000, "2.0")}}, {.max_expiries = 5});
  Sim sim(fast({"--never-ack", "--tftp-timeout-ms", "150", "--tftp-tries", "2"}));
  ASSERT_EQ(request_upgrade(sim, server.port(), "/f"), 200);
  ASSERT_TRUE(sim.wait_log("TFTP-END failed"));
  EXPECT_TRUE(wait_until([&] { return server.sent().count(0) >= 5; }, patient(2s)))
      << "the server kept resending its OACK";
  EXPECT_TRUE(server.acks().empty());
  EXPECT_NE(page(sim).find("5.1.2(GR)"), std::string::npos);
  std::string v = sim.stop();
  EXPECT_EQ(json_value(v, "complete"), "false");
  EXPECT_EQ(json_value(v, "reboots"), "0");
}

TEST(TftpFaults, ErrorPacketAnswersTheChosenBlock) {
  ProductStyleServer server({{"/f", make_image(3000, "2.0")}});
  Sim sim(fast({"--error-on-block", "2"}));
  ASSERT_EQ(request_upgrade(sim, server.port(), "/f"), 200);
  ASSERT_TRUE(sim.wait_log("TFTP-END failed"));
  ASSERT_TRUE(wait_until(
      [&] { return !server.received().empty() && opcode(server.received().back().data) == 5; },
      patient(2s)));
  // A slow device answers each of the server's resends of a block again.
  std::vector<uint16_t> acks = server.acks();
  acks.erase(std::unique(acks.begin(), acks.end()), acks.end());
  EXPECT_EQ(acks, (std::vector<uint16_t>{0, 1}));
}

TEST(TftpFaults, AcksFromAnotherPortAreIgnoredByAProductStyleServer) {
  ProductStyleServer server({{"/f", make_image(3000, "2.0")}}, {.max_expiries = 4});
  Sim sim(fast({"--ack-from-other-port", "--tftp-timeout-ms", "150", "--tftp-tries", "2"}));
  ASSERT_EQ(request_upgrade(sim, server.port(), "/f"), 200);
  ASSERT_TRUE(sim.wait_log("TFTP-END failed"));
  std::vector<Datagram> got = server.received();
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(opcode(got[0].data), 1);
  EXPECT_EQ(opcode(got[1].data), 4);
  EXPECT_NE(got[0].from.sin_port, got[1].from.sin_port);
}

TEST(TftpFaults, SecondReadRequestMidTransfer) {
  ProductStyleServer server({{"/f", make_image(3000, "2.0")}});
  Sim sim(fast({"--second-rrq-after-block", "2"}));
  ASSERT_EQ(request_upgrade(sim, server.port(), "/f"), 200);
  ASSERT_TRUE(sim.wait_log("REBOOT done"));
  std::vector<uint16_t> ops;
  for (const Datagram& d : server.received())
    ops.push_back(opcode(d.data) == 4 ? 40 + block_of(d.data) : opcode(d.data));
  // RRQ, ACK 0, ACK 1, ACK 2, RRQ, ACK 3...
  ASSERT_GE(ops.size(), 5u);
  EXPECT_EQ(std::vector<uint16_t>(ops.begin(), ops.begin() + 5),
            (std::vector<uint16_t>{1, 40, 41, 42, 1}));
}

TEST(TftpFaults, WrongNameFirstThenTheRightOneFromAFreshPort) {
  ProductStyleServer server({{"/qel1a2b.bi1", make_image(600, "2.0")}});
  Sim sim(fast({"--wrong-name-first", "/QEL1A2B.BI1", "--wrong-name-pause-ms", "300"}));
  // Before the device could send anything: the pause is measured from here to
  // the right request's arrival, both of which a late thread can only push apart.
  auto asked = std::chrono::steady_clock::now();
  ASSERT_EQ(request_upgrade(sim, server.port(), "/qel1a2b.bi1"), 200);
  ASSERT_TRUE(sim.wait_log("REBOOT done"));
  std::vector<Datagram> got = server.received();
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(std::string(got[0].data.begin() + 2, got[0].data.begin() + 14), "/QEL1A2B.BI1");
  EXPECT_EQ(std::string(got[1].data.begin() + 2, got[1].data.begin() + 14), "/qel1a2b.bi1");
  EXPECT_GE(got[1].at - asked, 300ms);
  EXPECT_NE(got[0].from.sin_port, got[1].from.sin_port);
  EXPECT_EQ(json_value(sim.stop(), "wrong_name_answered"), "false");
}

TEST(TftpClient, ResendsTheReadRequestThenGivesUp) {
  int silent = bind_udp("127.0.0.1");
  Sim sim(fast({"--tftp-timeout-ms", "150", "--tftp-tries", "3"}));
  ASSERT_EQ(request_upgrade(sim, udp_port(silent), "/f"), 200);
  ASSERT_TRUE(sim.wait_log("TFTP-END failed"));
  int rrqs = 0;
  while (auto d = recv_datagram(silent, 0ms)) rrqs += opcode(d->data) == 1;
  ::close(silent);
  EXPECT_EQ(rrqs, 3) << "the request and two resends";
  EXPECT_NE(json_value(sim.stop(), "error"), "null");
}

TEST(Reboot, OfflineWhileReflashingThenNewVersionAndFreshNonce) {
  ProductStyleServer server({{"/f", kImage}});
  // Offline long enough for this test to see it, however slow the build.
  Sim sim(fast({"--password", "pw", "--reboot-seconds", patient_seconds(1)}));
  auto auth_line = [](const std::string& nonce) {
    ProductAuth a;
    a.password = "pw";
    return a.line("realm=\"QEL Device\",nonce=\"" + nonce + "\"");
  };
  auto nonce_of = [](const std::string& text) { return directive(text, "nonce"); };
  std::string old_nonce = nonce_of(page(sim));
  ASSERT_EQ(request_upgrade(sim, server.port(), "/f", auth_line(old_nonce)), 200);
  // Tried over and over from the request on, so that some try falls inside
  // the offline time however late this busy test gets to look.
  bool offline_seen = false;
  ASSERT_TRUE(wait_until(
      [&] {
        bool rebooting = sim.log().find("REBOOT start") != std::string::npos;
        if (rebooting &&
            !http_exchange(sim.address(), sim.port(), product_request("/admin/advanced")).connected)
          offline_seen = true;
        return offline_seen || sim.log().find("REBOOT done") != std::string::npos;
      },
      patient(20s)));
  EXPECT_TRUE(offline_seen) << sim.log();
  ASSERT_TRUE(sim.wait_log("REBOOT done version=5.2.5"));

  std::string stale = http_exchange(sim.address(), sim.port(),
                                    product_request("/admin/advanced", auth_line(old_nonce)))
                          .text;
  EXPECT_EQ(status_of(stale), 401);
  std::string fresh = nonce_of(stale);
  EXPECT_NE(fresh, old_nonce);
  std::string ok =
      http_exchange(sim.address(), sim.port(), product_request("/admin/advanced", auth_line(fresh)))
          .text;
  EXPECT_EQ(status_of(ok), 200);
  EXPECT_NE(ok.find("Software Version:</td><td>5.2.5<"), std::string::npos);
}

TEST(Reboot, ReportedVersionOverrideOmittedLabelAndNeverReturn) {
  ProductStyleServer server({{"/f", make_image(700, "2.0")}});
  {
    Sim sim(fast({"--report-version", "9.9.9"}));
    ASSERT_EQ(request_upgrade(sim, server.port(), "/f"), 200);
    ASSERT_TRUE(sim.wait_log("REBOOT done version=9.9.9"));
    EXPECT_NE(page(sim).find("Software Version:</td><td>9.9.9<"), std::string::npos);
  }
  {
    Sim sim(fast({"--omit-version-after-reboot"}));
    EXPECT_NE(page(sim).find("Software Version:"), std::string::npos);
    ASSERT_EQ(request_upgrade(sim, server.port(), "/f"), 200);
    ASSERT_TRUE(sim.wait_log("REBOOT done version=2.0"));
    std::string text = page(sim);
    EXPECT_EQ(text.find("Software Version:"), std::string::npos);
    EXPECT_NE(text.find("Product Name:"), std::string::npos);
  }
  {
    Sim sim(fast({"--never-return"}));
    ASSERT_EQ(request_upgrade(sim, server.port(), "/f"), 200);
    ASSERT_TRUE(sim.wait_log("REBOOT never-return"));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(
        http_exchange(sim.address(), sim.port(), product_request("/admin/advanced")).connected);
  }
}

TEST(TwoStage, TwoRequestsOnOnePortMatchTwoReferences) {
  TempDir dir;
  Bytes transition = make_image(3000, "5.1.9"), target = make_image(5000, "5.2.5");
  write_bytes(dir.file("t1"), transition);
  write_bytes(dir.file("t2"), target);
  ProductStyleServer server({{"/qel0001.bi1", transition}, {"/qel0002.bi1", target}});
  Sim sim(fast(
      {"--software", "5.1.5(NT)", "--reference", dir.file("t1"), "--reference", dir.file("t2")}));
  ASSERT_EQ(request_upgrade(sim, server.port(), "/qel0001.bi1"), 200);
  ASSERT_TRUE(sim.wait_log("REBOOT done version=5.1.9"));
  ASSERT_EQ(request_upgrade(sim, server.port(), "/qel0002.bi1"), 200);
  ASSERT_TRUE(sim.wait_log("REBOOT done version=5.2.5"));
  std::string v = sim.stop();
  EXPECT_EQ(json_value(v, "upgrade_requests"), "2");
  EXPECT_EQ(json_value(v, "reboots"), "2");
  const nlohmann::ordered_json transfers = parse_json(v)["transfers"];
  nlohmann::ordered_json second;  // the second request's transfer
  for (const auto& transfer : transfers)
    if (transfer.value("file", "") == "/qel0002.bi1") second = transfer;
  ASSERT_FALSE(second.is_null());
  EXPECT_EQ(json_value(v, "identical"), "true");
  EXPECT_EQ(json_value(second.dump(), "identical"), "true");
  EXPECT_EQ(json_value(v, "reference_match"), "true");
  EXPECT_EQ(json_value(v, "reported_version"), "\"5.2.5\"");
}

// Ports 80 and 69 are only free inside a private network namespace.
TEST(Namespace, DefaultPorts80And69) {
  if (run_program({"unshare", "--net", "true"}) != 0)
    GTEST_SKIP() << "cannot create a network namespace (needs root)";
  TempDir dir;
  write_bytes(dir.file("qel1a2b.bi1"), kImage);
  std::string d = dir.path();
  std::string script =
      "ip link set lo up || exit 3\n"
      // Any address: the namespace has only loopback, and tftpd-hpa cannot resolve 127.0.0.1 there.
      "/usr/sbin/in.tftpd -L -4 -s " +
      d + " -a :69 & T=$!\n" + QEL_DEVICE_SIM + std::string(" --port-file ") + d + "/port --log " +
      d + "/log --verdict " + d + "/verdict.json --reference " + d +
      "/qel1a2b.bi1 --reboot-seconds 0.2 --tftp-timeout-ms " +
      std::to_string(patient(300ms).count()) + " --time-limit " + patient_seconds(20) +
      " & S=$!\n" + "for i in $(seq " + std::to_string(patient_count(100)) + "); do [ -s " + d +
      "/port ] && break; sleep 0.05; done\n"
      "curl -s -o /dev/null -w '%{http_code}' "
      "'http://127.0.0.2/admin/upgrade?tftp://127.0.0.1:69/qel1a2b.bi1' > " +
      d +
      "/code\n"
      "for i in $(seq " +
      std::to_string(patient_count(200)) + "); do grep -q 'REBOOT done' " + d +
      "/log && break; sleep 0.05; done\n"
      "curl -s http://127.0.0.2/admin/advanced > " +
      d +
      "/page\n"
      "kill $S; wait $S; kill $T; wait $T\n"
      "exit 0\n";
  ASSERT_EQ(run_program({"unshare", "--net", "sh", "-c", script}), 0);
  EXPECT_EQ(read_text(dir.file("port")), "http=80\n");
  EXPECT_EQ(read_text(dir.file("code")), "200");
  EXPECT_NE(read_text(dir.file("page")).find("Software Version:</td><td>5.2.5<"),
            std::string::npos);
  std::string v = read_text(dir.file("verdict.json"));
  EXPECT_EQ(json_value(v, "reference_match"), "true") << v;
  EXPECT_EQ(json_value(v, "server"), "\"127.0.0.1:69\"");
}

}  // namespace
}  // namespace simtest

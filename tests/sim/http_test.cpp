// The web server as the product and curl see it, and the HTTP fault flags.
#include <gtest/gtest.h>

#include "harness.h"

namespace simtest {
namespace {

std::string cell_after(const std::string& page, const std::string& label) {
  size_t at = page.find(label + "</td><td>");
  if (at == std::string::npos) return "<missing>";
  at += label.size() + 9;
  return page.substr(at, page.find('<', at) - at);
}

TEST(HttpPage, ProductRequestGetsAllFiveLabelledValues) {
  Sim sim({"--product", "QEL-5900", "--mac", "00:0E:08:AA:BB:CC", "--software", "5.1.5(NT)",
           "--hardware", "2.0.1", "--serial", "XY123"});
  HttpReply r = http_exchange(sim.address(), sim.port(), product_request("/admin/advanced"));
  ASSERT_TRUE(r.closed) << "the device must close after each response";
  EXPECT_EQ(r.text.rfind("HTTP/1.1 200 ", 0), 0u) << r.text;
  EXPECT_EQ(cell_after(r.text, "Product Name:"), "QEL-5900");
  EXPECT_EQ(cell_after(r.text, "MAC Address:"), "00:0E:08:AA:BB:CC");
  EXPECT_EQ(cell_after(r.text, "Software Version:"), "5.1.5(NT)");
  EXPECT_EQ(cell_after(r.text, "Hardware Version:"), "2.0.1");
  EXPECT_EQ(cell_after(r.text, "Serial Number:"), "XY123");

  std::string log = sim.log();
  EXPECT_NE(log.find("HTTP-REQ GET /admin/advanced HTTP/1.1\nHTTP-HDR Host: 192.168.2.110\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("HTTP-RESP 200"), std::string::npos);
}

TEST(HttpPage, CurlGetsDefaultsAndUnknownPathIs404) {
  Sim sim({});
  std::string url = "http://" + sim.address() + ":" + std::to_string(sim.port());
  std::string out;
  ASSERT_EQ(run_program({"curl", "-sS", "--max-time", "5", url + "/admin/advanced"}, &out), 0);
  EXPECT_EQ(cell_after(out, "Product Name:"), "QEL-742");
  EXPECT_EQ(cell_after(out, "MAC Address:"), "00:0E:08:12:34:56");
  EXPECT_EQ(cell_after(out, "Software Version:"), "5.1.2(GR)");
  EXPECT_EQ(cell_after(out, "Hardware Version:"), "1.0.3");
  EXPECT_EQ(cell_after(out, "Serial Number:"), "FM500012345");
  ASSERT_EQ(
      run_program({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", url + "/admin/nothing"},
                  &out),
      0);
  EXPECT_EQ(out, "404");
}

TEST(HttpFaults, RefuseReservesThePortButRefusesConnections) {
  Sim sim({"--http-refuse"});
  EXPECT_NE(sim.port(), 0);
  EXPECT_FALSE(
      http_exchange(sim.address(), sim.port(), product_request("/admin/advanced")).connected);
}

TEST(HttpFaults, HangAcceptsButNeverAnswersAndStillStopsCleanly) {
  Sim sim({"--http-hang"});
  HttpReply r = http_exchange(sim.address(), sim.port(), product_request("/admin/advanced"), 600ms);
  EXPECT_TRUE(r.connected);
  EXPECT_FALSE(r.closed);
  EXPECT_EQ(r.text, "");
  EXPECT_TRUE(sim.wait_log("HTTP-RESP none (hang)"));
  std::string verdict = sim.stop();
  EXPECT_EQ(sim.exit_code(), 0);
  EXPECT_EQ(json_value(verdict, "upgrade_requests"), "0");
}

TEST(HttpFaults, CloseWithoutAnswer) {
  Sim sim({"--http-close-without-answer"});
  HttpReply r = http_exchange(sim.address(), sim.port(), product_request("/admin/advanced"));
  EXPECT_TRUE(r.connected);
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.text, "");
}

TEST(HttpFaults, KeepOpenDelaysTheCloseAfterACompleteResponse) {
  // Long enough (scaled) that a slow build's ordinary answer ends well before.
  const std::chrono::milliseconds keep_open = patient(600ms);
  Sim sim({"--http-keep-open", patient_seconds(0.6)});
  HttpReply r = http_exchange(sim.address(), sim.port(), product_request("/admin/advanced"),
                              keep_open + patient(3s));
  EXPECT_EQ(status_of(r.text), 200);
  EXPECT_NE(r.text.find("</html>"), std::string::npos);
  EXPECT_TRUE(r.closed);
  EXPECT_GE(r.elapsed, keep_open - 50ms);

  Sim normal({});
  HttpReply quick =
      http_exchange(normal.address(), normal.port(), product_request("/admin/advanced"));
  EXPECT_TRUE(quick.closed);
  EXPECT_LT(quick.elapsed, keep_open - 100ms);
}

TEST(HttpFaults, Http10StatusLine) {
  Sim sim({"--http10-status"});
  HttpReply r = http_exchange(sim.address(), sim.port(), product_request("/admin/advanced"));
  EXPECT_EQ(r.text.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << r.text.substr(0, 40);
  EXPECT_NE(r.text.find("Software Version:"), std::string::npos);
}

TEST(HttpFaults, NoChallengeSends401WithoutWwwAuthenticate) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--no-challenge"},
        std::vector<std::string>{"--no-challenge", "--password", "pw"}}) {
    Sim sim(args);
    HttpReply r = http_exchange(sim.address(), sim.port(), product_request("/admin/advanced"));
    EXPECT_EQ(status_of(r.text), 401) << r.text;
    EXPECT_EQ(r.text.find("WWW-Authenticate"), std::string::npos) << r.text;
  }
}

TEST(Lifetime, TimeLimitEndsTheRunAndWritesTheVerdict) {
  Sim sim({"--time-limit", "0.5"});
  ASSERT_TRUE(sim.wait_exit(patient(5s)));
  EXPECT_EQ(sim.exit_code(), 0);
  EXPECT_NE(sim.log().find("STOP time-limit"), std::string::npos);
  std::string verdict = read_text(sim.dir().file("verdict.json"));
  EXPECT_EQ(json_value(verdict, "reported_version"), "\"5.1.2(GR)\"");
  EXPECT_EQ(json_value(verdict, "reference_match"), "null");
}

TEST(Lifetime, SwitchedOnLateRefusesUntilItIsUpThenServes) {
  // Read before the device starts: it may come up no sooner than 3 s after
  // this, so whatever this thread sees late can only look later still.
  auto before_start = std::chrono::steady_clock::now();
  Sim sim({"--up-after-seconds", "3"});
  HttpReply early = http_exchange(sim.address(), sim.port(), product_request("/admin/advanced"));
  auto since_start = [&] { return std::chrono::steady_clock::now() - before_start; };
  EXPECT_TRUE(!early.connected || since_start() >= 3s) << "answered before it was up";
  ASSERT_TRUE(sim.wait_log("UP after=3\n")) << sim.log();
  EXPECT_GE(since_start(), 3s) << "up too soon";
  HttpReply later = http_exchange(sim.address(), sim.port(), product_request("/admin/advanced"));
  EXPECT_EQ(status_of(later.text), 200) << later.text;
}

TEST(Lifetime, RefusesNonLoopbackAddressesAndBadFlags) {
  std::string out;
  EXPECT_EQ(run_program(
                {QEL_DEVICE_SIM, "--address", "10.0.0.1", "--http-port", "0", "--time-limit", "1"}),
            2);
  EXPECT_EQ(run_program({QEL_DEVICE_SIM, "--qop", "auth-conf"}), 2);
  EXPECT_EQ(run_program({QEL_DEVICE_SIM, "--ack-drop", "p=1.5"}), 2);
  EXPECT_EQ(run_program({QEL_DEVICE_SIM, "--no-such-flag"}), 2);
  ASSERT_EQ(run_program({QEL_DEVICE_SIM, "--help"}, &out), 0);
  EXPECT_NE(out.find("--reboot-seconds"), std::string::npos);
}

}  // namespace
}  // namespace simtest

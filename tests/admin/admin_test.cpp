// qel-upgrade scan, upgrade and fleet against simulated devices on the LAN
// of tests/lan/lan.sh (the PC at 198.51.100.10 and 203.0.113.10, devices
// from 198.51.100.20 on). Each test builds its own LAN. scan runs in
// qel-upgrade itself; upgrade and fleet run in qel-upgrade-testable, the same
// code on a clock 20 times faster, so the 30-second wait after a transfer
// takes 1.5 s.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/lan.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Json = nlohmann::json;
using simtest::TempDir;

constexpr const char* CLOCK_SCALE = "20";
// The upgrades' clock for what Running starts (the soak slows it down).
std::string clock_scale = CLOCK_SCALE;

struct Ran {
  int exit_code = -1;
  std::string out, err;
  double seconds = 0;
};

// QEL_ADMIN_PROGRAM, when set, is the command that runs every subcommand
// instead of the Linux programs, its words split at blanks: the Windows
// console program's test runs the cases that apply to it with
// "wine .../qel-upgrade-cli-testable.exe" (tests/wine/cli_test.sh), whose
// upgrades read QEL_UPGRADE_TEST_CLOCK_SCALE as qel-upgrade-testable's do,
// and one of them with the product, qel-upgrade-cli.exe, at real speed.
std::vector<std::string> program_override() {
  std::vector<std::string> words;
  if (const char* command = std::getenv("QEL_ADMIN_PROGRAM")) {
    std::istringstream in(command);
    for (std::string word; in >> word;) words.push_back(word);
  }
  return words;
}

// qel-upgrade running: its output collected while the test waits for it.
// args[0] "qel-upgrade" runs the product itself, "scan" the product's scan,
// an absolute path that program, anything else qel-upgrade-testable (or,
// but for a path, QEL_ADMIN_PROGRAM); in_child runs in the child before the
// program starts (to close its input, drop its privileges...).
class Running {
 public:
  explicit Running(std::vector<std::string> args, const std::string& input = "",
                   const std::function<void()>& in_child = {}) {
    static const std::vector<std::string> other = program_override();
    if (!other.empty() && args.at(0).front() != '/') {
      if (args.at(0) == "qel-upgrade") args.erase(args.begin());
      args.insert(args.begin(), other.begin(), other.end());
    } else if (args.at(0) == "qel-upgrade") {
      args[0] = QEL_UPGRADE;
    } else if (args.at(0).front() != '/') {  // else a program given by its path
      args.insert(args.begin(), args.at(0) == "scan" ? QEL_UPGRADE : QEL_UPGRADE_TESTABLE);
    }
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) return;
    began_ = Clock::now();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::setenv("QEL_UPGRADE_TEST_CLOCK_SCALE", clock_scale.c_str(), 1);
      if (in_child) in_child();
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (!input.empty()) [[maybe_unused]]
      ssize_t n = ::write(in[1], input.data(), input.size());
    ::close(in[1]);
    fds_ = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  }
  ~Running() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      finish();
    }
  }

  pid_t pid() const { return pid_; }
  const std::string& err() const { return ran_.err; }
  // Reads what comes until cond holds or the output ends; cond's last value.
  bool read_until(const std::function<bool()>& cond) {
    while (!cond()) {
      if (open_ == 0) return cond();
      pump();
    }
    return true;
  }
  Ran finish() {
    read_until([] { return false; });
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    ran_.seconds = std::chrono::duration<double>(Clock::now() - began_).count();
    ran_.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return ran_;
  }

 private:
  void pump() {
    ::poll(fds_.data(), fds_.size(), 20);
    for (std::size_t i = 0; i < fds_.size(); ++i) {
      if (fds_[i].fd < 0 || !(fds_[i].revents & (POLLIN | POLLHUP))) continue;
      char chunk[4096];
      ssize_t n = ::read(fds_[i].fd, chunk, sizeof chunk);
      if (n <= 0) {
        ::close(fds_[i].fd);
        fds_[i].fd = -1;
        --open_;
        continue;
      }
      (i == 0 ? ran_.out : ran_.err).append(chunk, static_cast<std::size_t>(n));
    }
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  Clock::time_point began_;
  std::vector<pollfd> fds_;
  int open_ = 2;
  Ran ran_;
};

// Runs qel-upgrade to its end (see Running). When interrupt_on is set,
// SIGINT reaches it once its standard error shows that.
Ran qel_upgrade(std::vector<std::string> args, const std::string& input = "",
                const std::string& interrupt_on = "", const std::function<void()>& in_child = {}) {
  Running run(std::move(args), input, in_child);
  if (!interrupt_on.empty() &&
      run.read_until([&] { return run.err().find(interrupt_on) != std::string::npos; }))
    ::kill(run.pid(), SIGINT);
  return run.finish();
}

// A password file as it should be: readable by its owner only.
void write_private(const std::string& path, const std::string& text) {
  { std::ofstream(path) << text; }
  ::chmod(path.c_str(), 0600);
}

std::vector<Json> json_lines(const std::string& text) {
  std::vector<Json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    Json parsed = Json::parse(line, nullptr, false);
    if (parsed.is_discarded())
      ADD_FAILURE() << "not JSON: " << line;
    else
      lines.push_back(parsed);
  }
  return lines;
}

// The one JSON object an `upgrade --json` prints.
Json result_of(const Ran& run) {
  std::vector<Json> lines = json_lines(run.out);
  EXPECT_EQ(lines.size(), 1u) << run.out << run.err;
  return lines.empty() ? Json::object() : lines.back();
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// More device addresses than lan.sh made, on the devices' side of the LAN,
// on the interface that holds the first one.
void add_device_addresses(int first, int count) {
  const char* netns = std::getenv("LAN_DEVICE_NETNS");
  ASSERT_NE(netns, nullptr);
  std::string nsenter = std::string("nsenter --net=") + netns + " ";
  std::FILE* list = ::popen((nsenter + "ip -o -4 addr show").c_str(), "r");
  ASSERT_NE(list, nullptr);
  std::string interface;
  char line[512];
  while (std::fgets(line, sizeof line, list)) {
    std::istringstream words(line);
    std::string index, name, family, address;
    words >> index >> name >> family >> address;
    if (address == lan::device(0) + "/24") interface = name;
  }
  ::pclose(list);
  ASSERT_FALSE(interface.empty()) << "no interface holds " << lan::device(0);
  for (int n = first; n < first + count; ++n) {
    std::string command = nsenter + "ip addr add " + lan::device(n) + "/24 dev " + interface;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
}

std::vector<std::string> device_args(std::vector<std::string> extra) {
  std::vector<std::string> args = {"--reboot-seconds", "0.3", "--time-limit", "120"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// Something on port 80 that is no device: a web server's default page.
class OtherWebServer {
 public:
  explicit OtherWebServer(const std::string& address) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(80);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    bound_ =
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(fd_, 16) == 0;
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) continue;
        char request[1024];
        [[maybe_unused]] ssize_t r = ::recv(c, request, sizeof request, 0);
        const char page[] =
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n"
            "<html><body><h1>It works!</h1><p>Name: router</p></body></html>";
        [[maybe_unused]] ssize_t w = ::send(c, page, sizeof page - 1, MSG_NOSIGNAL);
        ::close(c);
        ++answered_;
      }
    });
  }
  ~OtherWebServer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  bool bound() const { return bound_; }
  int answered() const { return answered_; }

 private:
  int fd_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::thread thread_;
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool asked_for_upgrade(const simtest::Sim& sim) {
  std::string log = sim.log();
  return has(log, "/admin/upgrade") || has(log, "UPGRADE ");
}

class AdminTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(lan::ready()) << "main() runs the tests on the LAN"; }
  TempDir dir;
};

// The cases that say the same of both programs, each group a suite of its
// own: tests/wine/cli_test.sh and fleet_test.sh run these suites whole under
// Wine (QEL_ADMIN_PROGRAM) and fail when fewer cases pass than are listed,
// so a case renamed or skipped cannot drop out of the Windows lane unseen.
class SharedAdminTest : public AdminTest {};
class SharedFleetTest : public AdminTest {};
class SharedRolloutTest : public AdminTest {};

TEST_F(SharedAdminTest, ScanListsTheDevicesOfTheSubnetsAndNothingElse) {
  auto locked = lan::start_device(lan::device(0), device_args({"--password", "s3cret"}));
  auto adapter = lan::start_device(
      lan::device(1),
      device_args({"--product", "QEL-200", "--software", "3.4.5", "--mac", "00:0E:08:AA:BB:01"}));
  auto phone = lan::start_device(lan::device(2), device_args({"--mac", "00:0E:08:AA:BB:02"}));
  // The PC itself runs a web server on its other interface.
  OtherWebServer other(lan::PC_OTHER);
  ASSERT_TRUE(other.bound());

  Ran scan = qel_upgrade({"scan", "198.51.100.0/24", "--json"});
  EXPECT_EQ(scan.exit_code, 0) << scan.err;
  std::vector<Json> found = json_lines(scan.out);
  ASSERT_EQ(found.size(), 3u) << scan.out << scan.err;
  const char* expected[] = {
      R"j({"address":"198.51.100.20","product":null,"software_version":null,"mac":null,)j"
      R"j("password_required":true})j",
      R"j({"address":"198.51.100.21","product":"QEL-200","software_version":"3.4.5",)j"
      R"j("mac":"00:0E:08:AA:BB:01","password_required":false})j",
      R"j({"address":"198.51.100.22","product":"QEL-742","software_version":"5.1.2(GR)",)j"
      R"j("mac":"00:0E:08:AA:BB:02","password_required":false})j"};
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(found[i], Json::parse(expected[i]));
  std::printf("[ measured ] scan of a /24 (3 devices, 251 silent addresses): %.2f s\n",
              scan.seconds);
  RecordProperty("scan_24_seconds", std::to_string(scan.seconds));

  // Without a prefix: both interfaces' subnets, the page of the other web
  // server read and refused.
  Ran table = qel_upgrade({"scan"});
  EXPECT_EQ(table.exit_code, 0) << table.err;
  std::vector<std::string> rows = lines_of(table.out);
  ASSERT_EQ(rows.size(), 4u) << table.out;
  EXPECT_EQ(rows[0].rfind("ADDRESS", 0), 0u) << rows[0];
  EXPECT_TRUE(has(rows[1], "198.51.100.20") && has(rows[1], "yes")) << rows[1];
  EXPECT_TRUE(has(rows[2], "198.51.100.21") && has(rows[2], "QEL-200") && has(rows[2], "3.4.5") &&
              has(rows[2], "00:0E:08:AA:BB:01") && has(rows[2], "no"))
      << rows[2];
  // Aligned: every row's columns start where the header's do.
  for (const char* column : {"PRODUCT", "SOFTWARE VERSION", "MAC ADDRESS", "PASSWORD REQUIRED"}) {
    std::size_t at = rows[0].find(column);
    for (std::size_t r = 1; r < rows.size(); ++r)
      EXPECT_TRUE(at < rows[r].size() && rows[r][at - 1] == ' ' && rows[r][at] != ' ')
          << column << " in: " << rows[r];
  }
  EXPECT_GE(other.answered(), 1) << "the other interface's subnet was not scanned";
  EXPECT_TRUE(has(table.err, "among 508 addresses")) << table.err;
  std::printf("[ measured ] scan of both interfaces' /24s: %.2f s\n", table.seconds);

  Ran oversized = qel_upgrade({"scan", "198.51.100.0/21"});
  EXPECT_EQ(oversized.exit_code, 2);
  EXPECT_TRUE(has(oversized.err, "more than a /22")) << oversized.err;
  EXPECT_TRUE(oversized.out.empty());
}

TEST_F(SharedAdminTest, UpgradeWithAPasswordFile) {
  auto sim = lan::start_device(lan::device(0), device_args({"--password", "s3cret", "--qop", "auth",
                                                            "--reference", QEL_TARGET_IMAGE_PATH}));
  write_private(dir.file("password"), "s3cret\n");

  Ran run = qel_upgrade(
      {"upgrade", lan::device(0), "--password-file", dir.file("password"), "--yes", "--json"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  Json result = result_of(run);
  EXPECT_EQ(result["address"], "198.51.100.20");
  EXPECT_EQ(result["result"], "upgraded");
  EXPECT_EQ(result["message"], "QEL@198.51.100.20 Upgrade Successful!");
  EXPECT_EQ(result["version_before"], "5.1.2(GR)");
  EXPECT_EQ(result["version_after"], "5.2.5");
  EXPECT_EQ(result["stages"], 1);
  EXPECT_TRUE(result["seconds"].is_number());
  // The wizard's own texts, from its dialogs.
  EXPECT_TRUE(has(run.err, "Your QEL has been successfully\nupgraded to the version shown\nbelow."))
      << run.err;
  EXPECT_TRUE(has(run.err, "[upload 50%] Uploading Target Firmware to QEL@198.51.100.20 "))
      << run.err;
  // The last step shows every byte, and --yes gets one line of the warning.
  EXPECT_TRUE(has(run.err,
                  "[upload 100%] Uploading Target Firmware to QEL@198.51.100.20 "
                  "871243/871243 Bytes\n"))
      << run.err;
  EXPECT_TRUE(has(run.err, "\nWARNING: upgrading without your service provider's approval"))
      << run.err;
  EXPECT_FALSE(has(run.err, "onus")) << "the whole warning in an unattended run: " << run.err;
  // The steps say what the command line does, not what the dialogs ask of a person.
  EXPECT_TRUE(has(run.err,
                  "[password] QEL@198.51.100.20 asks for a password: sending admin's "
                  "from " +
                      dir.file("password") + "\n"))
      << run.err;
  for (const char* dialog_only : {"Enter Password Information", "click"})
    EXPECT_FALSE(has(run.err, dialog_only)) << run.err;

  std::string verdict = sim->stop();
  EXPECT_EQ(simtest::json_value(verdict, "reference_match"), "true") << verdict;
  EXPECT_TRUE(has(sim->log(), "HTTP-AUTH ok")) << sim->log();
  // From the PC's address on the device's subnet, TFTP included.
  EXPECT_TRUE(has(sim->log(), "UPGRADE request server=198.51.100.10:69 ")) << sim->log();
  std::printf("[ measured ] one upgrade: %.2f s\n", run.seconds);
}

TEST_F(SharedAdminTest, DryRunAndDeclinedConfirmationSendNoUpgradeRequest) {
  auto sim = lan::start_device(lan::device(0), device_args({}));

  Ran dry = qel_upgrade({"upgrade", lan::device(0), "--dry-run", "--json"});
  EXPECT_EQ(dry.exit_code, 0) << dry.err;
  Json result = result_of(dry);
  EXPECT_EQ(result["result"], "dry-run");
  EXPECT_EQ(result["product"], "QEL-742");
  EXPECT_EQ(result["version_before"], "5.1.2(GR)");
  EXPECT_EQ(result["version_target"], "5.2.5");
  EXPECT_EQ(result["stages"], 1);
  EXPECT_FALSE(has(dry.err, "User Abort")) << "nobody aborted: " << dry.err;
  EXPECT_TRUE(result["code"].is_null()) << result;

  // Without --yes the answer comes from standard input.
  Ran declined = qel_upgrade({"upgrade", lan::device(0), "--json"}, "n\n");
  EXPECT_EQ(declined.exit_code, 3) << declined.err;
  EXPECT_EQ(result_of(declined)["result"], "aborted");
  EXPECT_TRUE(has(declined.err, "Upgrade Failed: User Abort")) << declined.err;
  EXPECT_TRUE(has(declined.err, "Serial Number     FM500012345")) << declined.err;
  // The question names the keys; the dialog's text about its buttons stays in the dialog.
  EXPECT_TRUE(has(declined.err, "QEL@198.51.100.20 reports:\n")) << declined.err;
  EXPECT_TRUE(has(declined.err, "Upgrade QEL@198.51.100.20 to 5.2.5? [y/N] ")) << declined.err;
  EXPECT_FALSE(has(declined.err, "click")) << declined.err;

  EXPECT_TRUE(has(sim->log(), "HTTP-REQ GET /admin/advanced")) << sim->log();
  EXPECT_FALSE(asked_for_upgrade(*sim)) << sim->log();
}

TEST_F(SharedAdminTest, CtrlCDuringTheTransferAbortsAndTheDeviceKeepsItsVersion) {
  // Slow acknowledgements: the transfer lasts seconds.
  auto sim =
      lan::start_device(lan::device(0), device_args({"--ack-delay", "all", "--ack-delay-ms", "5"}));
  Ran run = qel_upgrade({"upgrade", lan::device(0), "--yes", "--json"}, "", "[upload 10%]");
  EXPECT_EQ(run.exit_code, 3) << run.err;
  EXPECT_EQ(result_of(run)["result"], "aborted");
  EXPECT_FALSE(has(run.err, "[reflash")) << run.err;
  EXPECT_TRUE(has(run.err, "\nUpgrade Failed: User Abort\n")) << run.err;
  EXPECT_TRUE(sim->wait_log("TFTP-END failed", std::chrono::seconds(20))) << sim->log();
  EXPECT_FALSE(has(sim->log(), "REBOOT")) << sim->log();
}

TEST_F(SharedAdminTest, FailuresEndWithTheWizardsMessageAndTheirExitCode) {
  auto gone = lan::start_device(lan::device(0), device_args({"--never-return"}));

  // It took the image and never came back: nobody knows its version.
  Ran never = qel_upgrade({"upgrade", lan::device(0), "--yes", "--json"});
  EXPECT_EQ(never.exit_code, 5) << never.err;
  Json result = result_of(never);
  EXPECT_EQ(result["result"], "unverified");
  EXPECT_EQ(result["image_delivered"], true);
  EXPECT_EQ(result["message"], "Upgrade Failed: No Response From QEL");
  EXPECT_TRUE(has(never.err, "\nUpgrade Failed: No Response From QEL\n")) << never.err;
  EXPECT_TRUE(has(gone->log(), "REBOOT never-return")) << gone->log();

  // Nobody at this address: ARP gives up after about 3 s.
  Ran nobody = qel_upgrade({"upgrade", "198.51.100.99", "--yes", "--json"});
  EXPECT_EQ(nobody.exit_code, 4) << nobody.err;
  EXPECT_EQ(result_of(nobody)["result"], "unreachable");
  EXPECT_TRUE(has(nobody.err, "Upgrade Failed: No Response From QEL")) << nobody.err;

  // The wizard's own address check, as a usage error said once.
  for (const char* typo : {"198.51.100.256", "198.51.100.2O"}) {
    Ran invalid = qel_upgrade({"upgrade", typo, "--yes", "--json"});
    EXPECT_EQ(invalid.exit_code, 2);
    EXPECT_EQ(invalid.err, std::string("qel-upgrade upgrade: not an IPv4 address: ") + typo + "\n");
    EXPECT_TRUE(invalid.out.empty()) << invalid.out;
  }
}

TEST_F(SharedFleetTest, FleetReportsEachDevicesTrueOutcome) {
  add_device_addresses(lan::DEVICES, 7 - lan::DEVICES);
  write_private(dir.file("password"), "s3cret\n");
  std::map<int, std::unique_ptr<simtest::Sim>> sims;
  sims[0] = lan::start_device(lan::device(0), device_args({"--password", "s3cret"}));
  sims[1] = lan::start_device(lan::device(1), device_args({}));
  sims[2] = lan::start_device(lan::device(2), device_args({"--software", "5.2.5"}));  // current
  sims[3] = lan::start_device(lan::device(3), device_args({"--error-on-block", "40"}));
  sims[4] = lan::start_device(lan::device(4), device_args({}));
  sims[5] = lan::start_device(lan::device(5), device_args({}));
  sims[6] = lan::start_device(lan::device(6), device_args({}));  // the single upgrade

  Ran single = qel_upgrade({"upgrade", lan::device(6), "--yes", "--json"});
  ASSERT_EQ(single.exit_code, 0) << single.err;

  {
    std::ofstream list(dir.file("devices.txt"));
    list << "# the office\n" << lan::device(0) << "  admin  password   # relative to this file\n";
    for (int n = 1; n < 6; ++n) list << lan::device(n) << "\n";
  }
  Ran fleet = qel_upgrade(
      {"fleet", dir.file("devices.txt"), "--parallel", "3", "--report", dir.file("report.csv")});
  EXPECT_EQ(fleet.exit_code, 1) << fleet.err;

  std::ifstream report(dir.file("report.csv"));
  std::vector<std::string> rows;
  for (std::string line; std::getline(report, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 7u) << fleet.err;
  EXPECT_EQ(rows[0],
            "address,product,version_before,version_after,result,message,seconds,log,code,"
            "attempts");
  auto row_starts = [&](int n, const std::string& start) {
    EXPECT_EQ(rows[static_cast<std::size_t>(n) + 1].rfind(start, 0), 0u)
        << rows[static_cast<std::size_t>(n) + 1];
  };
  row_starts(
      0, "198.51.100.20,QEL-742,5.1.2(GR),5.2.5,upgraded,QEL@198.51.100.20 Upgrade Successful!,");
  row_starts(1, "198.51.100.21,QEL-742,5.1.2(GR),5.2.5,upgraded,");
  row_starts(2, "198.51.100.22,QEL-742,5.2.5,5.2.5,skipped,already on 5.2.5,");
  EXPECT_EQ(rows[3].substr(rows[3].size() - 4), ",,,1") << "skipped: no log, no code: " << rows[3];
  EXPECT_EQ(rows[4].substr(rows[4].size() - 20), ",upload-incomplete,1") << rows[4];
  row_starts(3,
             "198.51.100.23,QEL-742,5.1.2(GR),,failed,Upgrade Failed: Firmware Upload Incomplete,");
  row_starts(4, "198.51.100.24,QEL-742,5.1.2(GR),5.2.5,upgraded,");
  row_starts(5, "198.51.100.25,QEL-742,5.1.2(GR),5.2.5,upgraded,");

  EXPECT_FALSE(asked_for_upgrade(*sims[2])) << sims[2]->log();
  for (int n : {0, 1, 4, 5}) EXPECT_TRUE(has(sims[n]->log(), "REBOOT done version=5.2.5")) << n;
  EXPECT_TRUE(has(sims[3]->log(), "TFTP-END failed")) << sims[3]->log();

  double ratio = fleet.seconds / single.seconds;
  std::printf("[ measured ] one upgrade %.2f s; six devices at --parallel 3 %.2f s (%.2fx)\n",
              single.seconds, fleet.seconds, ratio);
  RecordProperty("single_seconds", std::to_string(single.seconds));
  RecordProperty("fleet_seconds", std::to_string(fleet.seconds));
}

}  // namespace

namespace {

// The pids of the upgrades that fleets started (they carry --exit-with-parent).
std::vector<pid_t> fleet_children() {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = simtest::read_text(entry.path().string() + "/cmdline");
    if (has(cmdline, std::string("--exit-with-parent\0", 19)))
      found.push_back(static_cast<pid_t>(std::stoi(name)));
  }
  return found;
}

int count_of(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST_F(AdminTest, UpgradedMeansTheDeviceReportsTheTargetAndACurrentDeviceIsLeftAlone) {
  add_device_addresses(lan::DEVICES, 4 - lan::DEVICES);
  std::map<int, std::unique_ptr<simtest::Sim>> sims;
  sims[0] = lan::start_device(lan::device(0), device_args({"--report-version", "5.1.2(GR)"}));
  sims[1] = lan::start_device(lan::device(1), device_args({"--report-version", "\x1b[2Jjunk"}));
  sims[2] = lan::start_device(lan::device(2), device_args({"--omit-version-after-reboot"}));
  sims[3] = lan::start_device(lan::device(3), device_args({"--software", "5.2.5"}));

  // Without a version row the wizard keeps the one it read before.
  const char* reported[] = {"5.1.2(GR)", "\x1b[2Jjunk", "5.1.2(GR)"};
  for (int n = 0; n < 3; ++n) {
    SCOPED_TRACE(n);
    Ran run = qel_upgrade({"upgrade", lan::device(n), "--yes", "--json"});
    EXPECT_EQ(run.exit_code, 5) << run.err;
    Json result = result_of(run);
    EXPECT_EQ(result["result"], "unverified");
    EXPECT_EQ(result["image_delivered"], true);
    EXPECT_EQ(result["version_after"], reported[n]);
    EXPECT_TRUE(has(run.err, "Upgrade Successful!")) << "the wizard's dialogs stay as they are";
    EXPECT_FALSE(has(run.err, "\x1b")) << run.err;
  }
  // A fleet of such devices upgraded none of them.
  {
    std::ofstream list(dir.file("devices.txt"));
    for (int n = 0; n < 3; ++n) list << lan::device(n) << "\n";
  }
  Ran fleet =
      qel_upgrade({"fleet", dir.file("devices.txt"), "--report", dir.file("r.csv"), "--force"});
  EXPECT_EQ(fleet.exit_code, 1) << fleet.err;
  EXPECT_TRUE(has(fleet.err, "0 upgraded, 0 skipped, 3 not upgraded")) << fleet.err;
  EXPECT_EQ(count_of(simtest::read_text(dir.file("r.csv")), ",unverified,"), 3);

  // Already on the target: nothing is sent, unless --force.
  Ran current = qel_upgrade({"upgrade", lan::device(3), "--yes", "--json"});
  EXPECT_EQ(current.exit_code, 0) << current.err;
  EXPECT_EQ(result_of(current)["result"], "current");
  EXPECT_TRUE(result_of(current)["code"].is_null()) << current.out;
  EXPECT_FALSE(asked_for_upgrade(*sims[3])) << sims[3]->log();
  Ran forced = qel_upgrade({"upgrade", lan::device(3), "--yes", "--json", "--force"});
  EXPECT_EQ(forced.exit_code, 0) << forced.err;
  EXPECT_EQ(result_of(forced)["result"], "upgraded");
}

TEST_F(AdminTest, HostileDevicesNeitherHangNorReachTerminalsOrSpreadsheets) {
  auto hung = lan::start_device(lan::device(0), device_args({"--http-hang"}));
  auto formula = lan::start_device(
      lan::device(1),
      device_args({"--product", "=1+1\x1b]0;owned\x07\x1b[2J", "--software", "+5.1"}));
  auto latin1 = lan::start_device(lan::device(2), device_args({"--product",
                                                               "Caf\xe9 QEL\x9b"
                                                               "2J",
                                                               "--software", "5.1\xb2"}));

  // The device accepts and never answers: the run ends by itself, as unreachable.
  Ran alone = qel_upgrade({"upgrade", lan::device(0), "--yes", "--json"});
  EXPECT_EQ(alone.exit_code, 4) << alone.err;
  EXPECT_EQ(result_of(alone)["message"], "QEL@198.51.100.20 did not answer within 120 s");
  std::printf("[ measured ] a device that never answers, at clock x%s: %.1f s\n", CLOCK_SCALE,
              alone.seconds);

  // Nothing a device sends reaches the terminal as a control character.
  Ran dry = qel_upgrade({"upgrade", lan::device(1), "--dry-run"});
  EXPECT_EQ(dry.exit_code, 0) << dry.err;
  for (const std::string* text : {&dry.out, &dry.err})
    EXPECT_FALSE(has(*text, "\x1b") || has(*text, "\x07")) << *text;
  Ran scan = qel_upgrade({"scan", "198.51.100.0/24"});
  EXPECT_FALSE(has(scan.out, "\x1b") || has(scan.out, "\x9b")) << scan.out;
  EXPECT_TRUE(has(scan.out, "Caf\xc3\xa9 QEL?2J")) << scan.out;
  // The device that took the connection and never answered is named.
  EXPECT_TRUE(has(scan.err,
                  "1 address accepted the connection but did not answer the "
                  "information page within 3 s: 198.51.100.20\n"))
      << scan.err;

  // The report must be writable before any device is touched.
  {
    std::ofstream list(dir.file("devices.txt"));
    for (int n = 0; n < 3; ++n) list << lan::device(n) << "\n";
  }
  Ran nowhere = qel_upgrade({"fleet", dir.file("devices.txt"), "--report", "/nonexistent/r.csv"});
  EXPECT_EQ(nowhere.exit_code, 2) << nowhere.err;
  EXPECT_TRUE(has(nowhere.err, "/nonexistent/r.csv: No such file or directory")) << nowhere.err;
  EXPECT_FALSE(asked_for_upgrade(*formula)) << formula->log();

  // CSV safe for spreadsheets; JSON as the upgrades said it.
  { std::ofstream(dir.file("two.txt")) << lan::device(1) << "\n" << lan::device(2) << "\n"; }
  Ran fleet = qel_upgrade({"fleet", dir.file("two.txt"), "--report", dir.file("r.csv")});
  EXPECT_EQ(fleet.exit_code, 0) << fleet.err;
  std::vector<std::string> rows = lines_of(simtest::read_text(dir.file("r.csv")));
  ASSERT_EQ(rows.size(), 3u) << fleet.err;
  EXPECT_EQ(rows[1].rfind("198.51.100.21,'=1+1?]0;owned??[2J,'+5.1,5.2.5,upgraded,", 0), 0u)
      << rows[1];
  Ran again = qel_upgrade({"fleet", dir.file("two.txt"), "--report", dir.file("r.json")});
  Json report = Json::parse(simtest::read_text(dir.file("r.json")), nullptr, false);
  ASSERT_TRUE(report.is_object()) << again.err;
  EXPECT_EQ(report["report_version"], 3);
  Json devices = report["devices"];
  EXPECT_EQ(devices[0]["product"], "=1+1\x1b]0;owned\x07\x1b[2J");
  EXPECT_EQ(devices[1]["product"],
            "Caf\xc3\xa9 QEL\xc2\x9b"
            "2J");
  EXPECT_EQ(devices[1]["result"], "skipped");

  // A time limit per device, shorter than the upgrade's own 120 s (6 s here).
  { std::ofstream(dir.file("hung.txt")) << lan::device(0) << "\n"; }
  Ran limited = qel_upgrade(
      {"fleet", dir.file("hung.txt"), "--timeout", "3", "--report", dir.file("hung.csv")});
  EXPECT_EQ(limited.exit_code, 1) << limited.err;
  rows = lines_of(simtest::read_text(dir.file("hung.csv")));
  ASSERT_EQ(rows.size(), 2u) << limited.err;
  EXPECT_EQ(rows[1].rfind("198.51.100.20,,,,failed,no result within 3 s: stopped,", 0), 0u)
      << rows[1];
  EXPECT_EQ(rows[1].substr(rows[1].size() - 10), ",timeout,1") << rows[1];
  EXPECT_TRUE(fleet_children().empty()) << "a stopped upgrade outlived the fleet";
}

TEST_F(AdminTest, InterruptedAfterTheImageWasDeliveredSaysSoAndChildrenEndWithTheFleet) {
  add_device_addresses(lan::DEVICES, 4 - lan::DEVICES);
  auto reflashing = lan::start_device(lan::device(0), device_args({"--reboot-seconds", "5"}));
  Ran run = qel_upgrade({"upgrade", lan::device(0), "--yes", "--json"}, "", "[reflash");
  EXPECT_EQ(run.exit_code, 5) << run.err;
  Json result = result_of(run);
  EXPECT_EQ(result["result"], "unverified");
  EXPECT_EQ(result["image_delivered"], true);
  EXPECT_TRUE(has(result["message"], "interrupted after the image was delivered")) << result;
  EXPECT_TRUE(has(run.err, "Upgrade Failed: User Abort")) << "the wizard's message stays";

  // Two Ctrl-C in a fleet while its device reflashes: not reported as untouched.
  auto second = lan::start_device(lan::device(1), device_args({"--reboot-seconds", "5"}));
  { std::ofstream(dir.file("one.txt")) << lan::device(1) << "\n"; }
  Running fleet({"fleet", dir.file("one.txt"), "--report", dir.file("r.csv")});
  ASSERT_TRUE(simtest::wait_until([&] { return has(second->log(), "REBOOT start"); }, 60s));
  ::kill(fleet.pid(), SIGINT);
  ASSERT_TRUE(fleet.read_until([&] { return has(fleet.err(), "interrupted:"); }));
  // Already there, whole, with the device's state at that moment.
  std::vector<std::string> snapshot = lines_of(simtest::read_text(dir.file("r.csv")));
  ASSERT_EQ(snapshot.size(), 2u);
  EXPECT_TRUE(has(snapshot[1], ",running,running when the fleet was interrupted (")) << snapshot[1];
  ::kill(fleet.pid(), SIGINT);
  Ran stopped = fleet.finish();
  EXPECT_EQ(stopped.exit_code, 3) << stopped.err;
  EXPECT_FALSE(has(stopped.err, "--max-failures")) << "the fleet's own abort is no failure";
  EXPECT_TRUE(has(simtest::read_text(dir.file("r.csv")), ",unverified,interrupted after the image"))
      << simtest::read_text(dir.file("r.csv")) << stopped.err;

  // A fleet killed outright takes its upgrades with it.
  auto slow = lan::start_device(lan::device(2),
                                device_args({"--ack-delay", "all", "--ack-delay-ms", "20"}));
  { std::ofstream(dir.file("slow.txt")) << lan::device(2) << "\n"; }
  Running killed({"fleet", dir.file("slow.txt")});
  ASSERT_TRUE(simtest::wait_until([&] { return has(slow->log(), "TFTP-RX DATA block=20 "); }, 60s));
  std::vector<pid_t> children = fleet_children();
  ASSERT_EQ(children.size(), 1u);
  // Its standard input is /dev/null, and no other descriptor leaked to it.
  int null_descriptors = 0;
  std::string fds;
  for (const auto& fd :
       std::filesystem::directory_iterator("/proc/" + std::to_string(children[0]) + "/fd")) {
    // A descriptor closed since the listing has no link left to read.
    std::error_code gone;
    std::string target = std::filesystem::read_symlink(fd.path(), gone);
    if (gone) continue;
    null_descriptors += target == "/dev/null";
    fds += fd.path().filename().string() + "->" + target + " ";
  }
  EXPECT_EQ(null_descriptors, 1) << fds;
  ::kill(killed.pid(), SIGKILL);
  killed.finish();
  EXPECT_TRUE(simtest::wait_until([] { return fleet_children().empty(); }, 20s))
      << "an upgrade outlived its fleet";
}

TEST_F(AdminTest, ThePortPrivilegeIsCheckedBeforeAnyDeviceIsContacted) {
  auto sim = lan::start_device(lan::device(0), device_args({}));
  { std::ofstream(dir.file("two.txt")) << lan::device(0) << "\n" << lan::device(1) << "\n"; }
  ::chmod(dir.path().c_str(), 0755);
  ::chmod(dir.file("two.txt").c_str(), 0644);
  // nobody runs a copy: the build folder may lie under a home closed to others.
  const std::string program = dir.file("qel-upgrade-testable");
  std::filesystem::copy_file(QEL_UPGRADE_TESTABLE, program);
  auto as_nobody = [] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(126);
  };
  for (std::vector<std::string> args :
       {std::vector<std::string>{program, "upgrade", lan::device(0), "--yes", "--json"},
        std::vector<std::string>{program, "upgrade", lan::device(0), "--dry-run"},
        std::vector<std::string>{program, "fleet", dir.file("two.txt")}}) {
    SCOPED_TRACE(args[1] + " " + args[2]);
    Ran run = qel_upgrade(args, "", "", as_nobody);
    EXPECT_EQ(run.exit_code, 6) << run.err;
    EXPECT_EQ(count_of(run.err, "Can't bind TFTP listener socket"), 1) << run.err;
    EXPECT_TRUE(has(run.err, "setcap cap_net_bind_service")) << run.err;
  }
  EXPECT_FALSE(has(sim->log(), "HTTP-REQ")) << sim->log();

  // Once it may hold a password, no core file and no debugger can read it: a
  // process that is not dumpable has its /proc files owned by root.
  std::string fifo = dir.file("password.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  ::chmod(fifo.c_str(), 0666);
  Running reading({program, "upgrade", lan::device(0), "--password-file", fifo}, "", as_nobody);
  std::string proc = "/proc/" + std::to_string(reading.pid());
  struct stat about {};
  ASSERT_TRUE(simtest::wait_until(
      [&] {
        // Started (its own command line) as nobody, yet its files are root's.
        return has(simtest::read_text(proc + "/cmdline"), "--password-file") &&
               has(simtest::read_text(proc + "/status"), "Uid:\t65534") &&
               ::stat((proc + "/status").c_str(), &about) == 0 && about.st_uid == 0;
      },
      10s))
      << "still dumpable while reading its password";
  { std::ofstream(fifo) << "s3cret\n"; }
  EXPECT_EQ(reading.finish().exit_code, 6);
}

TEST_F(AdminTest, ThePcsAddressComesFromAllItsInterfacesAndScanSkipsOnlyWhatIsTooLarge) {
  // Eight more addresses on the interface that comes first, and no default
  // route: the device's subnet is only the tenth address of the PC.
  for (int n = 11; n <= 18; ++n)
    ASSERT_EQ(
        std::system(("ip addr add 203.0.113." + std::to_string(n) + "/24 dev other0").c_str()), 0);
  ASSERT_EQ(std::system("ip route del default"), 0);
  auto sim = lan::start_device(lan::device(0), device_args({}));
  Ran chosen = qel_upgrade({"upgrade", lan::device(0), "--dry-run", "--local", lan::PC});
  EXPECT_EQ(chosen.exit_code, 0) << chosen.err;
  Ran found = qel_upgrade({"upgrade", lan::device(0), "--dry-run"});
  EXPECT_EQ(found.exit_code, 0) << found.err;

  // A subnet larger than a /22 on one interface: the others are scanned.
  ASSERT_EQ(std::system("ip addr add 203.0.113.77/20 dev other0"), 0);
  Ran scan = qel_upgrade({"scan", "--json"});
  EXPECT_EQ(scan.exit_code, 0) << scan.err;
  EXPECT_TRUE(has(scan.err, "skipped: other0's subnet 203.0.112.0/20 holds 4096 addresses"))
      << scan.err;
  EXPECT_EQ(json_lines(scan.out).size(), 1u) << scan.out;
  Ran hint = qel_upgrade({"scan", "198.51.100.7/20"});
  EXPECT_EQ(hint.exit_code, 2);
  EXPECT_TRUE(has(hint.err, "e.g. qel-upgrade scan 198.51.100.0/24")) << hint.err;
}

TEST_F(AdminTest, WhatANewUserTriesGetsAClearAnswer) {
  auto sim = lan::start_device(lan::device(0), device_args({"--password", "s3cret"}));
  Ran argument = qel_upgrade({"upgrade", lan::device(0), "--password", "s3cret"});
  EXPECT_EQ(argument.exit_code, 2);
  EXPECT_TRUE(has(argument.err, "use --password-file FILE")) << argument.err;
  Ran missing = qel_upgrade({"upgrade", lan::device(0), "--password-file", dir.file("none")});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_TRUE(has(missing.err, "none: No such file or directory")) << missing.err;
  write_private(dir.file("long"), std::string(127, 'x') + "\n");
  Ran too_long = qel_upgrade({"upgrade", lan::device(0), "--password-file", dir.file("long")});
  EXPECT_EQ(too_long.exit_code, 2);
  EXPECT_TRUE(has(too_long.err, "longer than 126 characters")) << too_long.err;
  Ran bytes = qel_upgrade({"upgrade", "1.2.3.\xff", "--json"});
  EXPECT_EQ(bytes.exit_code, 2) << bytes.err;
  { std::ofstream(dir.file("nul.txt")) << std::string("198.51.100.99\0\xff\n", 16); }
  Ran list = qel_upgrade({"fleet", dir.file("nul.txt")});
  EXPECT_EQ(list.exit_code, 2) << list.err;
  EXPECT_FALSE(asked_for_upgrade(*sim)) << sim->log();

  // Standard input closed and no --yes: declined, as at the end of input.
  auto open_device = lan::start_device(lan::device(1), device_args({}));
  Ran closed = qel_upgrade({"upgrade", lan::device(1)}, "", "", [] { ::close(0); });
  EXPECT_EQ(closed.exit_code, 3) << closed.err;
  EXPECT_FALSE(asked_for_upgrade(*open_device)) << open_device->log();

  // No display and no terminal: the wizard could not run at all.
  Ran nowhere = qel_upgrade({"qel-upgrade"}, "", "", [] {
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
  });
  EXPECT_EQ(nowhere.exit_code, 1) << nowhere.err;
  EXPECT_TRUE(has(nowhere.err, "needs a display or a terminal")) << nowhere.err;

  // A display that cannot be opened: the launcher says what the desktop
  // program's probe said, not only that it failed.
  std::string folder = QEL_UPGRADE;
  folder.erase(folder.rfind('/') + 1);
  if (std::filesystem::exists(folder + "qel-upgrade-desktop")) {
    Ran closed_display = qel_upgrade({"qel-upgrade"}, "", "", [] {
      ::setenv("DISPLAY", ":93", 1);  // no server: the test's own network, a fresh socket name
      ::unsetenv("WAYLAND_DISPLAY");
      ::unsetenv("QT_QPA_PLATFORM");
    });
    EXPECT_EQ(closed_display.exit_code, 1) << closed_display.err;
    EXPECT_TRUE(has(
        closed_display.err,
        "probe was ended by signal 6; it said:\n  qt.qpa.xcb: could not connect to display :93"))
        << closed_display.err;
    EXPECT_TRUE(has(closed_display.err, "cannot open the display :93 and no terminal"))
        << closed_display.err;
  }
}

TEST_F(AdminTest, RolloutsStopEarlyAndARetryResumesWhereTheyStopped) {
  add_device_addresses(lan::DEVICES, 5 - lan::DEVICES);
  std::map<int, std::unique_ptr<simtest::Sim>> sims;
  for (int n = 0; n < 5; ++n)
    sims[n] = lan::start_device(
        lan::device(n),
        device_args(n == 1 || n == 2 ? std::vector<std::string>{"--error-on-block", "40"}
                                     : std::vector<std::string>{}));
  auto list = [&](const std::string& name, std::vector<int> order) {
    std::ofstream out(dir.file(name));
    for (int n : order) out << lan::device(n) << "\n";
    return dir.file(name);
  };
  auto results = [&](const std::string& report) {
    std::vector<std::string> found;
    Json parsed = Json::parse(simtest::read_text(report), nullptr, false);
    if (!parsed.is_object()) return found;
    for (const Json& row : parsed["devices"]) found.push_back(row["result"]);
    return found;
  };
  using Results = std::vector<std::string>;

  // A failing canary: nothing else starts.
  Ran canary = qel_upgrade(
      {"fleet", list("a.txt", {1, 3, 4}), "--canary", "1", "--report", dir.file("canary.json")});
  EXPECT_EQ(canary.exit_code, 1) << canary.err;
  EXPECT_EQ(results(dir.file("canary.json")), (Results{"failed", "not-started", "not-started"}));
  EXPECT_TRUE(has(canary.err, "the canary 198.51.100.21 ended failed")) << canary.err;

  // The failure limit: one upgraded, then two failures where one is allowed.
  Ran limited = qel_upgrade({"fleet", list("b.txt", {0, 1, 2, 3}), "--parallel", "1",
                             "--max-failures", "1", "--report", dir.file("limited.json")});
  EXPECT_EQ(limited.exit_code, 1) << limited.err;
  EXPECT_EQ(results(dir.file("limited.json")),
            (Results{"upgraded", "failed", "not-started", "not-started"}));
  EXPECT_TRUE(has(limited.err, ": 1 upgrade failed (--max-failures)")) << limited.err;

  // Mended, the devices left undone are upgraded again and the others kept.
  for (int n : {1, 2}) {
    sims[n].reset();
    sims[n] = lan::start_device(lan::device(n), device_args({}));
  }
  Ran retry = qel_upgrade({"fleet", dir.file("b.txt"), "--retry", dir.file("limited.json"),
                           "--report", dir.file("retry.csv"), "--log-dir", dir.file("logs")});
  EXPECT_EQ(retry.exit_code, 0) << retry.err;
  std::vector<std::string> rows = lines_of(simtest::read_text(dir.file("retry.csv")));
  ASSERT_EQ(rows.size(), 5u);
  for (int n = 0; n < 4; ++n) EXPECT_TRUE(has(rows[n + 1], ",upgraded,")) << rows[n + 1];
  EXPECT_EQ(count_of(sims[0]->log(), "UPGRADE request"), 1) << "asked again: " << sims[0]->log();
  EXPECT_FALSE(has(rows[1], "logs/")) << "carried over, not run: " << rows[1];
  // One log per device run, with its own steps only.
  for (int n : {1, 2, 3}) {
    std::string log = simtest::read_text(dir.file("logs/" + lan::device(n) + ".log"));
    EXPECT_TRUE(has(rows[n + 1], dir.file("logs/" + lan::device(n) + ".log"))) << rows[n + 1];
    EXPECT_TRUE(has(log, "Uploading Target Firmware to QEL@" + lan::device(n) + " ")) << log;
    EXPECT_TRUE(has(log, "result: upgraded")) << log;
    for (int other = 0; other < 5; ++other) {
      if (other == n) continue;
      EXPECT_FALSE(has(log, "QEL@" + lan::device(other))) << log;
    }
  }

  // An unreachable canary says nothing of the firmware: the next device is
  // the canary. Devices of an earlier report that the list no longer has
  // are carried into the report but decide nothing.
  sims[4].reset();
  Ran next = qel_upgrade({"fleet", list("c.txt", {4, 3}), "--canary", "1", "--retry",
                          dir.file("canary.json"), "--report", dir.file("next.json")});
  EXPECT_EQ(results(dir.file("next.json")), (Results{"unreachable", "skipped", "failed"}));
  EXPECT_FALSE(has(next.err, "the canary")) << next.err;
  Ran listed_done = qel_upgrade({"fleet", list("d.txt", {3}), "--retry", dir.file("canary.json"),
                                 "--report", dir.file("done.json")});
  EXPECT_EQ(listed_done.exit_code, 0) << listed_done.err;
  EXPECT_EQ(results(dir.file("done.json")), (Results{"skipped", "failed", "not-started"}));
}

// A rollout that waits: for its window, for a device switched on late, but
// never for one that answered and failed; a report that is current when
// the fleet is killed outright, and --retry reading it; a window that closes
// while an upgrade runs, which finishes. The fleet's clock runs 60 times
// faster (QEL_FLEET_TEST_CLOCK_SCALE): a window a minute away opens within
// two seconds. The Windows console program has no test clock: under Wine
// the waits are real, as short as a window's whole minutes allow.
TEST_F(SharedRolloutTest, APatientRolloutWaitsForItsWindowAndLateDevicesButNotForFailures) {
  const bool real_time = !program_override().empty();
  const double pace = real_time ? 1 : 60;
  add_device_addresses(lan::DEVICES, 10 - lan::DEVICES);
  auto paced = [](double fleet_pace) {
    return [fleet_pace] {
      ::setenv("QEL_FLEET_TEST_CLOCK_SCALE", std::to_string(fleet_pace).c_str(), 1);
    };
  };
  auto wall_now = [] {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  // "HH:MM" in the local time the fleet reads too; the first whole minute
  // at least `ahead` seconds after `from`.
  auto hh_mm = [](double at) {
    std::time_t t = static_cast<std::time_t>(at);
    std::tm local{};
    ::localtime_r(&t, &local);
    char text[8];
    std::strftime(text, sizeof text, "%H:%M", &local);
    return std::string(text);
  };
  auto minute_after = [](double from, double ahead) { return std::ceil((from + ahead) / 60) * 60; };
  auto sim_args = [](std::vector<std::string> extra, const std::string& reboot = "0.3") {
    std::vector<std::string> args = {"--reboot-seconds", reboot, "--time-limit", "900"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  auto list = [&](const std::string& name, std::vector<int> devices) {
    std::ofstream out(dir.file(name));
    for (int n : devices) out << lan::device(n) << "\n";
    return dir.file(name);
  };
  std::map<int, std::unique_ptr<simtest::Sim>> sims;

  // ---- A: a window that opens a minute from now (the fleet's time), a
  // late device, a device that fails.
  const Clock::time_point t0 = Clock::now();
  const double t0_wall = wall_now();
  const double opens = minute_after(t0_wall, real_time ? 15 : 60);
  const double opens_after = (opens - t0_wall) / pace;  // real seconds from t0, at the least
  sims[0] = lan::start_device(lan::device(0), sim_args({}));
  sims[1] = lan::start_device(
      lan::device(1),
      sim_args({"--up-after-seconds", std::to_string(opens_after + (real_time ? 10 : 3))}));
  sims[2] = lan::start_device(lan::device(2), sim_args({"--error-on-block", "40"}));
  const std::string window = hh_mm(opens) + "-" + hh_mm(opens + 6 * 3600);
  Running patient({"fleet", list("a.txt", {0, 1, 2}), "--window", window, "--keep-trying", "2h",
                   "--timeout", "86400", "--report", dir.file("a.json")},
                  "", paced(pace));
  // When each device first saw a request, seen from here: never before it came.
  std::map<int, double> first_request;
  patient.read_until([&] {
    for (int n : {0, 1, 2})
      if (!first_request.count(n) && has(sims[n]->log(), "HTTP-REQ"))
        first_request[n] = std::chrono::duration<double>(Clock::now() - t0).count();
    return false;
  });
  Ran a = patient.finish();
  EXPECT_EQ(a.exit_code, 1) << a.err;  // the device that failed
  EXPECT_TRUE(
      has(a.err, "waiting for the window " + window + ": it opens at " + hh_mm(opens) + ":00 (in "))
      << a.err;
  std::size_t opened = a.err.find("the window " + window + " is open: upgrades start");
  ASSERT_NE(opened, std::string::npos) << a.err;
  EXPECT_GT(a.err.find(" started"), opened) << a.err;
  for (int n : {0, 1, 2}) {
    ASSERT_TRUE(first_request.count(n)) << "never contacted: " << lan::device(n);
    EXPECT_GE(first_request[n], opens_after - 0.05) << "contacted before the window opened";
  }
  Json report = Json::parse(simtest::read_text(dir.file("a.json")), nullptr, false);
  ASSERT_TRUE(report.is_object()) << a.err;
  EXPECT_EQ(report["report_version"], 3);
  const Json& rows = report["devices"];
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0]["result"], "upgraded");
  EXPECT_EQ(rows[0]["attempts"], 1);
  // Late: refused until it came up, then upgraded; each try contacted it.
  EXPECT_EQ(rows[1]["result"], "upgraded") << rows[1];
  int late_tries = count_of(a.err, lan::device(1) + " started");
  EXPECT_GE(late_tries, 2) << a.err;
  EXPECT_EQ(rows[1]["attempts"], late_tries) << a.err;
  EXPECT_TRUE(has(a.err, lan::device(1) + "  unreachable (try 1): next try at ")) << a.err;
  EXPECT_TRUE(has(a.err, lan::device(1) + "  upgraded  5.1.2(GR) -> 5.2.5  (")) << a.err;
  EXPECT_EQ(count_of(sims[1]->log(), "UPGRADE request"), 1) << sims[1]->log();
  // Answered and failed: tried once, the rest is --retry's.
  EXPECT_EQ(rows[2]["result"], "failed");
  EXPECT_EQ(rows[2]["code"], "upload-incomplete");
  EXPECT_EQ(rows[2]["attempts"], 1);
  EXPECT_EQ(count_of(a.err, lan::device(2) + " started"), 1) << a.err;
  EXPECT_EQ(count_of(sims[2]->log(), "UPGRADE request"), 1) << sims[2]->log();
  std::printf(
      "[ measured ] a window %.1f s away (fleet clock x%.0f), a device up %.0f s later, "
      "%d tries: %.1f s\n",
      opens_after, pace, real_time ? 10.0 : 3.0, late_tries, a.seconds);

  // ---- B: killed outright while one device waits for its next try and
  // another is in the middle of its transfer: the report says so. On the
  // real clock, so that the next try (30 s away) cannot come first.
  sims[4] = lan::start_device(lan::device(4), sim_args({"--ack-delay", "all", "--ack-delay-ms", "2",
                                                        "--tftp-timeout-ms", "200"}));
  std::string both = list("b.txt", {4, 3});  // nobody at .23 yet: refused
  {
    Running killed({"fleet", both, "--keep-trying", "1h", "--report", dir.file("b.csv")}, "",
                   paced(1));
    ASSERT_TRUE(killed.read_until([&] {
      return has(killed.err(), lan::device(3) + "  unreachable (try 1): next try at ");
    })) << killed.err();
    ::kill(killed.pid(), SIGKILL);
    killed.finish();
  }
  std::vector<std::string> left = lines_of(simtest::read_text(dir.file("b.csv")));
  ASSERT_EQ(left.size(), 3u);
  EXPECT_EQ(
      left[1].rfind(lan::device(4) + ",,,,running,in flight when this report was written (", 0), 0u)
      << left[1];
  EXPECT_EQ(left[1].substr(left[1].size() - 4), ",,,1") << left[1];
  EXPECT_EQ(left[2].rfind(lan::device(3) + ",,,,waiting,next try at ", 0), 0u) << left[2];
  EXPECT_EQ(left[2].substr(left[2].size() - 2), ",1") << left[2];
  // Its upgrade went with the fleet. --retry runs both again, on devices
  // switched on afresh (the waiting one for the first time).
  sims[4].reset();
  sims[4] = lan::start_device(lan::device(4), sim_args({}));
  sims[3] = lan::start_device(lan::device(3), sim_args({}));
  Ran retried =
      qel_upgrade({"fleet", both, "--retry", dir.file("b.csv"), "--report", dir.file("b2.csv")});
  EXPECT_EQ(retried.exit_code, 0) << retried.err;
  EXPECT_EQ(count_of(simtest::read_text(dir.file("b2.csv")), ",upgraded,"), 2)
      << simtest::read_text(dir.file("b2.csv"));

  std::printf("[ measured ] killed and retried %.1f s\n", retried.seconds);

  // ---- C: the window closes while the first device reflashes (in well
  // under a second, on a clock twice as fast): its upgrade finishes, the
  // other is not started. Not under Wine: this is the fleet's portable code
  // alone, and a transfer slow enough to outlast a window that may close a
  // minute later would add two minutes there.
  if (!real_time) {
    sims[5] = lan::start_device(lan::device(5), sim_args({}, "1.2"));
    sims[6] = lan::start_device(lan::device(6), sim_args({}));
    const double now_wall = wall_now();
    const std::string closing = hh_mm(now_wall) + "-" + hh_mm(minute_after(now_wall, 30));
    Ran c = qel_upgrade({"fleet", list("c.txt", {5, 6}), "--window", closing, "--parallel", "1",
                         "--timeout", "86400", "--report", dir.file("c.json")},
                        "", "", paced(pace * 2));
    EXPECT_EQ(c.exit_code, 1) << c.err;
    EXPECT_TRUE(has(c.err, "the window " + closing +
                               " closed: no more upgrades start; the running ones finish"))
        << c.err;
    Json closed = Json::parse(simtest::read_text(dir.file("c.json")), nullptr, false);
    ASSERT_TRUE(closed.is_object()) << c.err;
    EXPECT_EQ(closed["devices"][0]["result"], "upgraded") << closed.dump();
    EXPECT_EQ(closed["devices"][1]["result"], "not-started");
    EXPECT_EQ(closed["devices"][1]["code"], "window-closed");
    EXPECT_EQ(closed["devices"][1]["attempts"], 0);
    EXPECT_TRUE(has(sims[5]->log(), "REBOOT done version=5.2.5")) << sims[5]->log();
    EXPECT_FALSE(has(sims[6]->log(), "HTTP-REQ")) << sims[6]->log();
    std::printf("[ measured ] the closing window %.1f s\n", c.seconds);
  }

  // ---- D: upgrade --keep-trying, on its own clock (x20 here): a device
  // switched on late is upgraded once it answers; one another run holds is
  // left alone until it is free; Ctrl-C ends a wait.
  sims[7] =
      lan::start_device(lan::device(7), sim_args({"--up-after-seconds", real_time ? "5" : "2"}));
  Ran late = qel_upgrade({"upgrade", lan::device(7), "--keep-trying", "30m", "--yes", "--json"});
  EXPECT_EQ(late.exit_code, 0) << late.err;
  Json reached = result_of(late);
  EXPECT_EQ(reached["result"], "upgraded");
  int unanswered = count_of(late.err, "QEL@" + lan::device(7) + " did not answer (try ");
  EXPECT_GE(unanswered, 1) << late.err;
  EXPECT_EQ(reached["attempts"], unanswered + 1) << late.err;
  EXPECT_EQ(count_of(sims[7]->log(), "UPGRADE request"), 1) << sims[7]->log();
  if (!real_time) {
    sims[8] = lan::start_device(lan::device(8), sim_args({}, "1"));
    Running holder({"upgrade", lan::device(8), "--yes"});
    ASSERT_TRUE(sims[8]->wait_log("UPGRADE request", 60s)) << sims[8]->log();
    Ran waited =
        qel_upgrade({"upgrade", lan::device(8), "--keep-trying", "30m", "--dry-run", "--json"});
    EXPECT_EQ(holder.finish().exit_code, 0);
    EXPECT_EQ(waited.exit_code, 0) << waited.err;
    EXPECT_EQ(result_of(waited)["result"], "current") << "looked only once the holder was done";
    EXPECT_EQ(result_of(waited)["attempts"], 1) << "a busy try does not contact the device";
    EXPECT_TRUE(has(waited.err, "another run on this PC is upgrading " + lan::device(8) + " (pid " +
                                    std::to_string(holder.pid())))
        << waited.err;
  }
  Ran stopped = qel_upgrade({"upgrade", lan::device(9), "--keep-trying", "30m", "--yes", "--json"},
                            "", "next try at");
  EXPECT_EQ(stopped.exit_code, 3) << stopped.err;
  EXPECT_EQ(result_of(stopped)["result"], "aborted");
  EXPECT_EQ(result_of(stopped)["attempts"], 1);
}

void as_nobody() {
  if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(126);
}

// A process of nobody's, forked from the test, that tries what any local
// user could against a device's lock and keeps what it got until destroyed;
// got() says what it managed ("" when nothing).
class Squatter {
 public:
  Squatter(const std::string& device, const std::string& lock_file) {
    int ready[2];
    if (::pipe(ready) != 0 || ::pipe(stop_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(stop_[1]);
      as_nobody();
      std::string got;
      // Make, open or lock the device's file; make another in the folder.
      int fd = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd < 0) fd = ::open(lock_file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      if (fd >= 0) {
        got += "opened ";
        struct flock whole {};
        whole.l_type = F_RDLCK;
        if (::fcntl(fd, F_SETLK, &whole) == 0) got += "locked ";
      }
      std::string other = lock_file.substr(0, lock_file.rfind('/')) + "/nobody's";
      if (::open(other.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666) >= 0) got += "made ";
      // Names anyone may take, which a lock must not be: the device's
      // abstract socket names, taken and never answered.
      for (int n = 0; n < 8; ++n) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string name = "qel-upgrade/device/" + device + "/" + std::to_string(n);
        std::memcpy(address.sun_path + 1, name.data(), name.size());
        int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(socket, reinterpret_cast<sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) == 0)
          ::listen(socket, 0);
      }
      [[maybe_unused]] ssize_t w = ::write(ready[1], got.data(), got.size() + 1);
      char byte;
      [[maybe_unused]] ssize_t r = ::read(stop_[0], &byte, 1);  // until the test is done
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(stop_[0]);
    char text[64] = {};
    [[maybe_unused]] ssize_t n = ::read(ready[0], text, sizeof text - 1);
    got_ = text;
    ::close(ready[0]);
  }
  ~Squatter() {
    ::close(stop_[1]);
    ::waitpid(pid_, nullptr, 0);
  }
  const std::string& got() const { return got_; }

 private:
  int stop_[2] = {-1, -1};
  pid_t pid_ = -1;
  std::string got_ = "not started";
};

// The lock file of a device in this test's network namespace.
std::string lock_file_of(const std::string& device) {
  struct stat net {};
  ::stat("/proc/self/ns/net", &net);
  return "/run/qel-upgrade/" + device + "@net" + std::to_string(net.st_ino);
}

// What another local user can prepare: a log folder of theirs, links and a
// FIFO among the logs, a folder open to all; and a second run on a device
// another holds, whoever holds it.
TEST_F(AdminTest, AHostileLocalUserCannotRedirectStallOrBlockTheFleet) {
  // A transfer of about 17 s: time for the second runs while the first holds it.
  auto slow = lan::start_device(lan::device(0),
                                device_args({"--ack-delay", "all", "--ack-delay-ms", "10"}));
  auto current = lan::start_device(lan::device(1), device_args({"--software", "5.2.5"}));
  auto other = lan::start_device(lan::device(2), device_args({"--software", "5.2.5"}));
  auto list = [&](const std::string& name, std::vector<int> devices) {
    std::ofstream out(dir.file(name));
    for (int n : devices) out << lan::device(n) << "\n";
    return dir.file(name);
  };
  std::string secret = dir.file("secret");
  write_private(secret, "root's own\n");

  // nobody's folder in a shared sticky one, with a link to root's file.
  std::string shared = dir.file("shared"), theirs = shared + "/fleet-logs";
  ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  ASSERT_EQ(::mkdir(theirs.c_str(), 0755), 0);
  std::string link = theirs + "/" + lan::device(1) + ".log";
  ASSERT_EQ(::symlink(secret.c_str(), link.c_str()), 0);
  ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  std::string open_folder = dir.file("open");
  ASSERT_EQ(::mkdir(open_folder.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(open_folder.c_str(), 0777), 0);
  // A link of nobody's where the folder is named, toward a folder of root's.
  std::string roots = dir.file("roots"), roots_log = roots + "/" + lan::device(1) + ".log";
  ASSERT_EQ(::mkdir(roots.c_str(), 0700), 0);
  write_private(roots_log, "root's log\n");
  std::string unsticky = dir.file("unsticky"), linked = unsticky + "/fleet-logs";
  ASSERT_EQ(::mkdir(unsticky.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(unsticky.c_str(), 0777), 0);
  ASSERT_EQ(::symlink(roots.c_str(), linked.c_str()), 0);
  ASSERT_EQ(::lchown(linked.c_str(), 65534, 65534), 0);
  for (auto [folder, refusal] :
       {std::pair{theirs, "belongs to another user"},
        std::pair{open_folder, "others may write to the log folder"},
        std::pair{linked, "is a symbolic link"}, std::pair{linked + "/", "is a symbolic link"}}) {
    SCOPED_TRACE(folder);
    Ran refused = qel_upgrade({"fleet", list("one.txt", {1}), "--log-dir", folder});
    EXPECT_EQ(refused.exit_code, 2) << refused.err;
    EXPECT_TRUE(has(refused.err, refusal)) << refused.err;
  }
  EXPECT_FALSE(has(current->log(), "HTTP-REQ")) << "contacted before the refusal";
  EXPECT_EQ(simtest::read_text(roots_log), "root's log\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(roots), {}), 1);

  // root's own folder, where a link and a FIFO wait: each said once, neither
  // used, and the FIFO holds nothing up.
  std::string logs = dir.file("logs");
  ASSERT_EQ(::mkdir(logs.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(secret.c_str(), (logs + "/" + lan::device(1) + ".log").c_str()), 0);
  ASSERT_EQ(::mkfifo((logs + "/" + lan::device(2) + ".log").c_str(), 0600), 0);
  Ran logged = qel_upgrade({"fleet", list("two.txt", {1, 2}), "--log-dir", logs, "--timeout", "30",
                            "--report", dir.file("logged.csv")});
  EXPECT_EQ(logged.exit_code, 0) << logged.err;
  EXPECT_EQ(count_of(logged.err, "is not logged"), 2) << logged.err;
  EXPECT_EQ(count_of(simtest::read_text(dir.file("logged.csv")), ",skipped,"), 2)
      << simtest::read_text(dir.file("logged.csv"));
  EXPECT_EQ(simtest::read_text(secret), "root's own\n");

  // A run upgrades the slow device; a second one, alone or in a fleet, is
  // told who holds it and leaves the device alone, whatever nobody tries.
  Squatter squatter(lan::device(0), lock_file_of(lan::device(0)));
  EXPECT_EQ(squatter.got(), "") << "nobody got at the lock";
  Running holder({"upgrade", lan::device(0), "--yes", "--json"});
  ASSERT_TRUE(simtest::wait_until([&] { return has(slow->log(), "TFTP-RX DATA block=20 "); }, 60s))
      << slow->log();
  Ran second = qel_upgrade({"upgrade", lan::device(0), "--yes", "--json"});
  EXPECT_EQ(second.exit_code, 7) << second.err;
  Json busy = result_of(second);
  EXPECT_EQ(busy["result"], "busy");
  std::string message = busy["message"];
  for (std::string part : {"pid " + std::to_string(holder.pid()) + ", user root: ",
                           "upgrade " + lan::device(0) + " --yes --json"})
    EXPECT_TRUE(has(message, part)) << message;
  Ran fleet = qel_upgrade({"fleet", list("both.txt", {0, 1}), "--report", dir.file("both.csv")});
  EXPECT_EQ(fleet.exit_code, 7) << fleet.err;
  std::string both = simtest::read_text(dir.file("both.csv"));
  EXPECT_TRUE(has(both, lan::device(0) + ",,,,busy,\"another run on this PC is upgrading "))
      << both;
  EXPECT_TRUE(has(both, lan::device(1) + ",QEL-742,5.2.5,5.2.5,skipped,")) << both;
  Ran first = holder.finish();
  EXPECT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(count_of(slow->log(), "UPGRADE request"), 1) << slow->log();

  // Only root and the group of the port helper may write where the locks
  // are: nobody can neither make, open nor hold a device's lock, and root's
  // runs still keep each other apart.
  struct stat folder {};
  ASSERT_EQ(::stat("/run/qel-upgrade", &folder), 0);
  EXPECT_EQ(folder.st_uid, 0u);
  EXPECT_EQ(folder.st_mode & 0002, 0u);
  std::vector<std::string> look = {"upgrade", lan::device(1), "--yes", "--json"};
  {
    Squatter before(lan::device(1), lock_file_of(lan::device(1)));
    EXPECT_EQ(before.got(), "") << "nobody got at the lock";
    Ran passed = qel_upgrade(look);
    EXPECT_EQ(passed.exit_code, 0) << passed.err;
    EXPECT_EQ(result_of(passed)["result"], "current");
  }
  // With the lock file there (root's run made it), still nothing for nobody.
  Squatter after(lan::device(1), lock_file_of(lan::device(1)));
  EXPECT_EQ(after.got(), "") << "nobody got at the lock";
  Ran again = qel_upgrade(look);
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_FALSE(has(again.err, "lock")) << again.err;
}

// A job runner's end of a rollout: Ctrl-C, then SIGKILL for the fleet and its
// upgrades. The report left says running; a retry from it, after a
// spreadsheet saved it, upgrades the device. An abort that reaches an
// upgrade before it runs ends it there.
TEST_F(AdminTest, AKilledRolloutIsRetriedFromItsReportAndNoAbortIsLost) {
  auto slow = lan::start_device(lan::device(0), device_args({"--ack-delay", "all", "--ack-delay-ms",
                                                             "5", "--tftp-timeout-ms", "200"}));
  auto other = lan::start_device(lan::device(1), device_args({}));
  std::string list = dir.file("list.txt");
  { std::ofstream(list, std::ios::binary) << "\xef\xbb\xbf" << lan::device(0) << "\r\n"; }
  std::string report = dir.file("report.csv");
  {
    Running fleet({"fleet", list, "--report", report});
    ASSERT_TRUE(
        simtest::wait_until([&] { return has(slow->log(), "TFTP-RX DATA block=20 "); }, 60s));
    ::kill(fleet.pid(), SIGINT);
    ASSERT_TRUE(fleet.read_until([&] { return has(fleet.err(), "interrupted:"); }));
    std::vector<pid_t> children = fleet_children();
    ASSERT_EQ(children.size(), 1u);
    ::kill(fleet.pid(), SIGKILL);
    ::kill(children[0], SIGKILL);
    fleet.finish();
  }
  std::string left = simtest::read_text(report);
  ASSERT_TRUE(has(left, lan::device(0) + ",,,,running,running when the fleet was interrupted"))
      << left;
  std::string saved = "\xef\xbb\xbf";
  for (char c : left) saved += c == '\n' ? std::string("\r\n") : std::string(1, c);
  { std::ofstream(report, std::ios::binary) << saved; }
  ASSERT_TRUE(slow->wait_log("TFTP-END failed", 20s)) << slow->log();
  // At once: the killed upgrade's lock went with it.
  Ran retry = qel_upgrade({"fleet", list, "--retry", report, "--report", dir.file("retry.csv")});
  EXPECT_EQ(retry.exit_code, 0) << retry.err;
  EXPECT_TRUE(has(simtest::read_text(dir.file("retry.csv")), ",5.2.5,upgraded,"))
      << simtest::read_text(dir.file("retry.csv"));
  EXPECT_EQ(count_of(slow->log(), "UPGRADE request"), 2) << slow->log();
  EXPECT_TRUE(has(slow->log(), "REBOOT done version=5.2.5")) << slow->log();

  // Each child of this fleet waits right after its fork; the second Ctrl-C's
  // abort reaches it there.
  { std::ofstream(dir.file("other.txt")) << lan::device(1) << "\n"; }
  Running paused(
      {"fleet", dir.file("other.txt"), "--report", dir.file("paused.csv"), "--max-failures", "1"},
      "", [] { ::setenv("QEL_FLEET_TEST_FORK_PAUSE_MS", "6000", 1); });
  ASSERT_TRUE(paused.read_until([&] { return has(paused.err(), " started"); })) << paused.err();
  ::kill(paused.pid(), SIGINT);
  ASSERT_TRUE(paused.read_until([&] { return has(paused.err(), "interrupted:"); }));
  ::kill(paused.pid(), SIGINT);
  Ran stopped = paused.finish();
  EXPECT_EQ(stopped.exit_code, 3) << stopped.err;
  EXPECT_TRUE(has(simtest::read_text(dir.file("paused.csv")),
                  ",aborted,aborted before it contacted the device"))
      << simtest::read_text(dir.file("paused.csv")) << stopped.err;
  EXPECT_FALSE(asked_for_upgrade(*other)) << other->log();
}

// The fleet at its limit: a hundred devices at once, a few of each kind.
// Outcomes are asserted; time, CPU and memory are printed, not asserted.
TEST_F(AdminTest, SoakAHundredDevicesAtOnce) {
  constexpr int DEVICES = 100;
  add_device_addresses(lan::DEVICES, DEVICES - lan::DEVICES);
  write_private(dir.file("pw"), "s3cret\n");
  // The wizard's clock 5 times faster, not 20: a hundred transfers share two
  // cores, and its resends and give-ups scale with it.
  clock_scale = "5";
  std::map<int, std::unique_ptr<simtest::Sim>> sims;
  std::map<int, std::string> expected;
  {
    std::ofstream list(dir.file("hundred.txt"));
    for (int n = 0; n < DEVICES; ++n) {
      std::vector<std::string> args = {"--reboot-seconds", "0.5", "--time-limit", "900"};
      expected[n] = "upgraded";
      if (n < 5) {
        args.insert(args.end(), {"--password", "s3cret"});
      } else if (n < 10) {
        args.insert(args.end(), {"--ack-drop", "p=0.01", "--seed", std::to_string(n)});
      } else if (n < 13) {
        args.insert(args.end(), {"--ack-delay", "300", "--ack-delay-ms", "1500"});  // a stall
      } else if (n < 23) {
        args.insert(args.end(), {"--software", "5.2.5"});
        expected[n] = "skipped";
      } else if (n < 25) {
        args.push_back("--never-return");
        expected[n] = "unverified";
      }
      sims[n] = lan::start_device(lan::device(n), args);
      list << lan::device(n) << (n < 5 ? " admin pw" : "") << "\n";
    }
  }
  // The slowest kind alone (a device that never comes back), and a plain one.
  add_device_addresses(DEVICES, 2);
  auto gone = lan::start_device(
      lan::device(DEVICES), {"--reboot-seconds", "0.5", "--time-limit", "900", "--never-return"});
  auto plain = lan::start_device(lan::device(DEVICES + 1),
                                 {"--reboot-seconds", "0.5", "--time-limit", "900"});
  double slowest_alone = qel_upgrade({"upgrade", lan::device(DEVICES), "--yes"}).seconds;
  double plain_alone = qel_upgrade({"upgrade", lan::device(DEVICES + 1), "--yes"}).seconds;

  rusage before{};
  ::getrusage(RUSAGE_CHILDREN, &before);
  Running fleet({"fleet", dir.file("hundred.txt"), "--parallel", "100", "--report",
                 dir.file("hundred.json")});
  // The whole tree's memory, sampled: the fleet and its upgrades.
  long peak_kb = 0;
  Clock::time_point sampled{};
  auto rss_kb = [](pid_t pid) {
    std::string status = simtest::read_text("/proc/" + std::to_string(pid) + "/status");
    std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0L : std::strtol(status.c_str() + at + 6, nullptr, 10);
  };
  fleet.read_until([&] {
    if (Clock::now() - sampled > 200ms) {
      sampled = Clock::now();
      long total = rss_kb(fleet.pid());
      for (pid_t child : fleet_children()) total += rss_kb(child);
      peak_kb = std::max(peak_kb, total);
    }
    return false;
  });
  Ran ran = fleet.finish();
  clock_scale = CLOCK_SCALE;
  rusage after{};
  ::getrusage(RUSAGE_CHILDREN, &after);
  EXPECT_EQ(ran.exit_code, 1) << ran.err;  // the two that never came back

  Json report = Json::parse(simtest::read_text(dir.file("hundred.json")), nullptr, false);
  ASSERT_TRUE(report.is_object()) << ran.err;
  ASSERT_EQ(report["devices"].size(), static_cast<std::size_t>(DEVICES));
  for (int n = 0; n < DEVICES; ++n) {
    const Json& row = report["devices"][static_cast<std::size_t>(n)];
    EXPECT_EQ(row["result"], expected[n]) << lan::device(n) << ": " << row.dump();
    EXPECT_LE(count_of(sims[n]->log(), "UPGRADE request"), 1) << "asked twice: " << lan::device(n);
  }
  EXPECT_FALSE(has(ran.err, "Can't bind")) << ran.err;
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) -
               seconds(before.ru_stime);
  std::printf(
      "[ measured ] soak: %d devices at --parallel 100, clock x5: %.1f s (alone: the "
      "slowest kind %.1f s, a plain one %.1f s; %.2fx the slowest), fleet tree CPU %.1f s "
      "(%.3f s a device), peak RSS of the tree %.1f MB\n",
      DEVICES, ran.seconds, slowest_alone, plain_alone, ran.seconds / slowest_alone, cpu,
      cpu / DEVICES, static_cast<double>(peak_kb) / 1024);
  RecordProperty("soak_seconds", std::to_string(ran.seconds));
}

}  // namespace

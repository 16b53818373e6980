// The administrators' command line without devices: how a run's facts become
// its result, how device texts reach terminals, spreadsheets and JSON, the
// fleet's list and report files, password files.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "admin/command_line.h"
#include "admin/fleet/list.h"
#include "admin/fleet/log.h"
#include "admin/help.h"
#include "admin/record/outcome.h"
#include "admin/fleet/report.h"
#include "frontends/common/dotted.h"
#include "admin/record/code.h"
#include "admin/record/record.h"
#include "admin/upgrade/password_file.h"
#include "admin/rollout/patience.h"
#include "admin/rollout/window.h"
#include "support/files.h"
#include "frontends/common/text.h"
#include "platform/files.h"

namespace {

using namespace admin;
using simtest::TempDir;

ReportRow row(const std::string& address, const std::string& product, const std::string& before,
              const std::string& after, Result result, const std::string& message, double seconds,
              const std::string& log, Code code) {
  ReportRow r;
  r.address = address;
  r.product = product;
  r.version_before = before;
  r.version_after = after;
  r.result = result;
  r.message = message;
  r.seconds = seconds;
  r.log = log;
  r.code = code;
  return r;
}

void write_file(const std::string& path, const std::string& text, mode_t mode = 0600) {
  { std::ofstream(path, std::ios::binary) << text; }
  ::chmod(path.c_str(), mode);
}

// A phone-family run that got as far as the success dialog, reporting `reported`.
RunFacts reflashed(const std::string& reported) {
  RunFacts f;
  f.address = "198.51.100.20";
  f.product = "QEL-742";
  f.version_before = "5.1.2(GR)";
  f.version_target = "5.2.5";
  f.stages = 1;
  f.confirmed = true;
  f.image_delivered = true;
  f.success_seen = true;
  f.version_reported = reported;
  return f;
}

TEST(Outcome, OnlyTheTargetVersionIsAnUpgradeAndADeliveredImageIsNeverAborted) {
  struct Case {
    const char* name;
    RunFacts facts;
    int code;
    const char* result;
    const char* message_part;
    const char* failure;  // the code for programs; "" none
  };
  // Stopping on purpose shows the wizard's User Abort too: not a failure.
  RunFacts current = reflashed("");
  current.success_seen = current.image_delivered = current.confirmed = false;
  current.current = true;
  current.failure = FAILURE_USER_ABORT;
  RunFacts dry_run = current;
  dry_run.current = false;
  dry_run.dry_run_done = true;
  RunFacts interrupted = reflashed("");
  interrupted.success_seen = false;
  interrupted.user_aborted = true;
  interrupted.failure = FAILURE_USER_ABORT;
  interrupted.last_message = failure_text(FAILURE_USER_ABORT);
  RunFacts aborted_early = interrupted;
  aborted_early.image_delivered = false;
  RunFacts never_back = reflashed("");
  never_back.success_seen = false;
  never_back.failure = FAILURE_NO_RESPONSE;
  never_back.last_message = failure_text(FAILURE_NO_RESPONSE);
  RunFacts nobody;
  nobody.address = "198.51.100.99";
  nobody.failure = FAILURE_NO_RESPONSE;
  nobody.last_message = failure_text(FAILURE_NO_RESPONSE);
  RunFacts mismatch = never_back;
  mismatch.failure = FAILURE_VERSION_NOT_MATCHING;
  mismatch.last_message = failure_text(FAILURE_VERSION_NOT_MATCHING);
  mismatch.version_reported = "9.9";
  RunFacts stalled = nobody;
  stalled.own_code = EXIT_UNREACHABLE;
  stalled.own_message = "QEL@198.51.100.99 did not answer within 120 s";
  stalled.own_failure = Code::STALLED;
  stalled.failure = FAILURE_USER_ABORT;  // the Cancel that ended it
  RunFacts stalled_after = never_back;
  stalled_after.own_code = EXIT_FAILED;
  stalled_after.own_message = "took the image but did not answer";
  stalled_after.own_failure = Code::STALLED;
  RunFacts ports_taken = nobody;
  ports_taken.failure = FAILURE_LISTENER_BIND;
  ports_taken.confirmed = true;
  ports_taken.last_message = failure_text(FAILURE_LISTENER_BIND);
  RunFacts refused = aborted_early;
  refused.own_code = EXIT_FAILED;
  refused.own_message = "QEL@198.51.100.20 refused the password";
  refused.own_failure = Code::PASSWORD_REFUSED;
  const Case cases[] = {
      {"target reported", reflashed("5.2.5"), 0, "upgraded", "Upgrade Successful!", ""},
      {"old version reported", reflashed("5.1.2(GR)"), EXIT_UNVERIFIED, "unverified",
       "reports version 5.1.2(GR) after the upgrade, not 5.2.5", "version-not-matching"},
      {"garbage reported", reflashed("\x1b[2J"), EXIT_UNVERIFIED, "unverified", "not 5.2.5",
       "version-not-matching"},
      {"no version row", reflashed(""), EXIT_UNVERIFIED, "unverified", "no software version",
       "version-not-matching"},
      {"already current", current, 0, "current", "already runs 5.2.5: nothing was sent", ""},
      {"dry run", dry_run, 0, "dry-run", "no upgrade request was sent", ""},
      {"Ctrl-C while it reflashes", interrupted, EXIT_UNVERIFIED, "unverified",
       "interrupted after the image was delivered", "user-abort"},
      {"Ctrl-C before the image", aborted_early, EXIT_ABORTED, "aborted", "User Abort",
       "user-abort"},
      {"never came back", never_back, EXIT_UNVERIFIED, "unverified", "No Response From QEL",
       "no-response"},
      {"nobody there", nobody, EXIT_UNREACHABLE, "unreachable", "No Response From QEL",
       "no-response"},
      {"adapter on another version", mismatch, EXIT_FAILED, "failed", "Version not matching",
       "version-not-matching"},
      {"stalled before answering", stalled, EXIT_UNREACHABLE, "unreachable", "within 120 s",
       "stalled"},
      {"stalled after the image", stalled_after, EXIT_UNVERIFIED, "unverified", "took the image",
       "stalled"},
      {"password refused", refused, EXIT_FAILED, "failed", "refused the password",
       "password-refused"},
      {"every TFTP port taken", ports_taken, EXIT_NO_PORT, "failed", "TFTP listener",
       "listener-bind"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = decide_outcome(c.facts);
    EXPECT_EQ(o.code, c.code);
    EXPECT_STREQ(result_word(o.result), c.result);
    EXPECT_NE(o.message.find(c.message_part), std::string::npos) << o.message;
    auto json = nlohmann::json::parse(upgrade_json(outcome_record(c.facts, o, 1.25)));
    EXPECT_EQ(json["result"], c.result);
    EXPECT_EQ(json["image_delivered"], c.facts.image_delivered);
    EXPECT_STREQ(code_word(o.failure), c.failure);
    if (*c.failure)
      EXPECT_EQ(json["code"], c.failure);
    else
      EXPECT_TRUE(json["code"].is_null()) << json["code"];
  }
  EXPECT_EQ(decide_outcome(mismatch).version_after, "9.9");
  EXPECT_EQ(decide_outcome(reflashed("5.1.2(GR)")).version_after, "5.1.2(GR)");
}

TEST(DeviceText, ControlCharactersNeverReachATerminalAndJsonStaysValid) {
  // An OSC title, a screen clear, an 8-bit CSI (Latin-1 0x9b), DEL, é.
  const std::string hostile =
      "\x1b]0;owned\x07\x1b[2JQEL\x9b"
      "2J\x7f\xe9\r\nx";
  std::string shown = frontend::shown_text(hostile);
  for (unsigned char c : shown) EXPECT_TRUE(c >= 0x20 && c != 0x7f) << int(c);
  EXPECT_EQ(shown, "?]0;owned??[2JQEL?2J?\xc3\xa9  x");
  // UTF-8 input: C1 code points and invalid bytes too.
  EXPECT_EQ(frontend::shown_utf8("a\xc2\x9b"
                                 "b\xff"),
            "a?b\xef\xbf\xbd");
  // Bidirectional controls reorder what is read: each one, and only those.
  for (const char* bidi : {"\xd8\x9c", "\xe2\x80\x8e", "\xe2\x80\x8f", "\xe2\x80\xaa",
                           "\xe2\x80\xae", "\xe2\x81\xa6", "\xe2\x81\xa9"}) {
    EXPECT_EQ(frontend::shown_utf8(std::string("ab") + bidi + "c"), "ab?c") << bidi;
    EXPECT_EQ(frontend::csv_field(std::string(bidi) + "=1"), "?=1") << bidi;
  }
  for (const char* kept : {"\xe2\x80\x8d", "\xe2\x80\xaf", "\xe2\x81\xa5", "\xe2\x81\xaa"})
    EXPECT_EQ(frontend::shown_utf8(std::string("a") + kept), std::string("a") + kept) << kept;
  EXPECT_EQ(frontend::valid_utf8("1.2.3.\xff"), "1.2.3.\xef\xbf\xbd");

  RunFacts f = reflashed(hostile);
  f.address = "1.2.3.\xff";
  f.product = hostile;
  Outcome o = decide_outcome(f);
  auto json =
      nlohmann::json::parse(upgrade_json(outcome_record(f, o, 0)));  // no abort, valid UTF-8
  EXPECT_EQ(json["product"],
            "\x1b]0;owned\x07\x1b[2JQEL\xc2\x9b"
            "2J\x7f\xc3\xa9\r\nx")
      << "JSON keeps the device's text exact";
  std::string line = outcome_line(f, o, 0);
  EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
  EXPECT_EQ(line.find("\xc2\x9b"), std::string::npos) << line;
}

TEST(Report, CsvIsSafeForSpreadsheetsAndJsonKeepsTheChildsValues) {
  std::vector<ReportRow> rows = {
      row("198.51.100.20", "=1+1", "@SUM(1+1)", "+5.1", Result::UNVERIFIED, "-5.1", 1.0, "",
          Code::NONE),
      row("198.51.100.21", "Caf\xc3\xa9 QEL", "5.1\xc2\xb2", "line\nbreak", Result::FAILED,
          "a,\"quoted\"\ttext", 2.26, "logs/198.51.100.21.log", Code::UPLOAD_INCOMPLETE),
  };
  rows[1].attempts = 3;
  std::string csv = report_csv(rows);
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = csv.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(csv.substr(at, end - at));
  ASSERT_EQ(lines.size(), 3u) << csv;  // every field on its row's line
  EXPECT_EQ(lines[0],
            "address,product,version_before,version_after,result,message,seconds,log,code,"
            "attempts");
  EXPECT_EQ(lines[1], "198.51.100.20,'=1+1,'@SUM(1+1),'+5.1,unverified,'-5.1,1.0,,,0");
  EXPECT_EQ(lines[2],
            "198.51.100.21,Caf\xc3\xa9 QEL,5.1\xc2\xb2,line break,failed,"
            "\"a,\"\"quoted\"\" text\",2.3,logs/198.51.100.21.log,upload-incomplete,3");

  auto json = nlohmann::json::parse(report_json(rows));
  EXPECT_EQ(json["report_version"], REPORT_VERSION);
  EXPECT_EQ(json["devices"][1]["product"], "Caf\xc3\xa9 QEL") << "not encoded a second time";
  EXPECT_EQ(json["devices"][1]["version_before"], "5.1\xc2\xb2");
  EXPECT_EQ(json["devices"][0]["product"], "=1+1") << "JSON stays exact";
  EXPECT_EQ(json["devices"][1]["seconds"], 2.3);

  // What --retry reads back: JSON exactly, CSV as it was written (a second
  // write of it gives the same file).
  TempDir dir;
  for (const char* name : {"r.json", "r.csv"}) {
    SCOPED_TRACE(name);
    std::string path = dir.file(name), error;
    ReportFile file;
    ASSERT_TRUE(file.open(path, &error) && file.commit(rows, &error)) << error;
    std::vector<ReportRow> back;
    ASSERT_TRUE(read_report(path, &back, &error)) << error;
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].result, Result::FAILED);
    EXPECT_EQ(back[1].log, "logs/198.51.100.21.log");
    EXPECT_EQ(back[1].code, Code::UPLOAD_INCOMPLETE);
    EXPECT_EQ(back[1].attempts, 3);
    if (report_is_json(path)) {
      EXPECT_EQ(back[0].product, "=1+1");
      EXPECT_EQ(back[1].message, rows[1].message);
    } else {
      EXPECT_EQ(report_csv(back), csv);
    }
    // Saved again by a spreadsheet or a Windows tool: CR LF and a byte-order mark.
    std::string saved = "\xef\xbb\xbf";
    for (char c : simtest::read_text(path))
      saved += c == '\n' ? std::string("\r\n") : std::string(1, c);
    write_file(path, saved);
    std::vector<ReportRow> again;
    ASSERT_TRUE(read_report(path, &again, &error)) << error;
    EXPECT_EQ(report_csv(again), report_csv(back));
  }
  // Still refused: what is not a report, with or without those.
  for (auto [name, text] : {std::pair{"other.csv", "a,b\n1,2\n"},
                            {"other.csv",
                             "\xef\xbb\xbf"
                             "a,b\r\n1,2\r\n"},
                            {"other.json", "\xef\xbb\xbf{\"devices\": 1}"}}) {
    std::vector<ReportRow> none;
    std::string error;
    write_file(dir.file(name), text);
    EXPECT_FALSE(read_report(dir.file(name), &none, &error)) << text;
    EXPECT_NE(error.find("not a fleet report"), std::string::npos) << error;
  }
  // As Excel saves it where the decimal mark is a comma: semicolons; and a
  // name in capitals is still JSON.
  std::string semicolons = report_csv({rows[1]});
  for (std::size_t at = 0; (at = semicolons.find(',', at)) != std::string::npos; ++at)
    semicolons[at] = ';';
  semicolons.replace(semicolons.find("2.3"), 3, "2,3");
  write_file(dir.file("excel.csv"), semicolons);
  std::vector<ReportRow> excel;
  std::string why;
  ASSERT_TRUE(read_report(dir.file("excel.csv"), &excel, &why)) << why;
  ASSERT_EQ(excel.size(), 1u);
  EXPECT_EQ(excel[0].code, Code::UPLOAD_INCOMPLETE);
  EXPECT_DOUBLE_EQ(excel[0].seconds, 2.3);
  EXPECT_TRUE(report_is_json("C:\\Reports\\OFFICE.JSON"));
  EXPECT_FALSE(report_is_json("office.json.csv"));
  // A result no run writes (a hand-edited report) is refused, not guessed at.
  std::vector<ReportRow> none;
  std::string error;
  write_file(dir.file("edited.csv"), report_csv({rows[0]}) + "198.51.100.22,,,,done,,0.0,,,1\n");
  EXPECT_FALSE(read_report(dir.file("edited.csv"), &none, &error));
  EXPECT_NE(error.find("line 3 has no result"), std::string::npos) << error;
  write_file(dir.file("counted.csv"), report_csv({rows[0]}) + "198.51.100.22,,,,failed,,0.0,,,x\n");
  EXPECT_FALSE(read_report(dir.file("counted.csv"), &none, &error));
  EXPECT_NE(error.find("line 3 has no count of attempts"), std::string::npos) << error;

  // The version before (no attempts, JSON's report_version 2) is still read
  // for --retry; a row in the new form among the old columns is not.
  const char old_csv[] =
      "address,product,version_before,version_after,result,message,seconds,log,code\n"
      "198.51.100.20,QEL-742,5.1.2(GR),,unreachable,gone,3.1,,no-response\n";
  const char old_json[] =
      "{\"report_version\": 2, \"devices\": [{\"address\": \"198.51.100.20\", \"result\": "
      "\"unreachable\", \"message\": \"gone\", \"seconds\": 3.1, \"code\": \"no-response\"}]}";
  for (auto [name, text] : {std::pair{"v2.csv", old_csv}, {"v2.json", old_json}}) {
    SCOPED_TRACE(name);
    std::vector<ReportRow> old;
    write_file(dir.file(name), text);
    ASSERT_TRUE(read_report(dir.file(name), &old, &error)) << error;
    ASSERT_EQ(old.size(), 1u);
    EXPECT_EQ(old[0].result, Result::UNREACHABLE);
    EXPECT_EQ(old[0].code, Code::NO_RESPONSE);
    EXPECT_EQ(old[0].attempts, 0);
  }
  write_file(dir.file("mixed.csv"), std::string(old_csv) + "198.51.100.21,,,,failed,,0.0,,,1\n");
  EXPECT_FALSE(read_report(dir.file("mixed.csv"), &none, &error));
  EXPECT_NE(error.find("line 3 is not a report row"), std::string::npos) << error;
}

TEST(Report, ARetryRedoesEveryDeviceNotUpgradedOrSkipped) {
  // Each result a report can hold; running is what a fleet killed after its
  // first Ctrl-C left, busy what another run on the PC caused.
  struct Case {
    const char* result;
    bool retried, failure;
  } cases[] = {
      {"upgraded", false, false},  {"skipped", false, false}, {"failed", true, true},
      {"unreachable", true, true}, {"aborted", true, true},   {"unverified", true, true},
      {"running", true, true},     {"busy", true, false},     {"not-started", true, false},
      {"waiting", true, false},
  };
  std::vector<ReportRow> earlier;
  std::vector<FleetEntry> entries;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    std::string address = "198.51.100." + std::to_string(20 + i);
    Result result{};
    ASSERT_TRUE(parse_result(cases[i].result, &result));
    EXPECT_STREQ(result_word(result), cases[i].result);
    earlier.push_back(row(address, "QEL-742", "5.1.2(GR)", "", result, "", 1, "", Code::NONE));
    FleetEntry entry;
    entry.address = address;
    entries.push_back(entry);
  }
  std::vector<PlannedDevice> plan = plan_rollout(entries, earlier);
  ASSERT_EQ(plan.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].result);
    EXPECT_EQ(is_retried(earlier[i].result), cases[i].retried);
    EXPECT_EQ(plan[i].carried, !cases[i].retried);
    EXPECT_EQ(is_failure(earlier[i].result), cases[i].failure);
  }
}

TEST(Report, WrittenWholeOrNotAtAllAndRefusedBeforeTheWork) {
  TempDir dir;
  std::string error;
  ReportFile missing;
  EXPECT_FALSE(missing.open(dir.file("no/such/folder/r.csv"), &error));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;

  std::string path = dir.file("r.json");
  write_file(path, "the old report", 0644);
  {
    ReportFile report;
    ASSERT_TRUE(report.open(path, &error)) << error;
    EXPECT_EQ(simtest::read_text(path), "the old report") << "replaced only when whole";
    ASSERT_TRUE(report.commit(
        {row("198.51.100.20", "", "", "", Result::SKIPPED, "", 0, "", Code::NONE)}, &error));
  }
  EXPECT_EQ(nlohmann::json::parse(simtest::read_text(path))["devices"][0]["result"], "skipped");
  struct stat about {};
  ASSERT_EQ(::stat(path.c_str(), &about), 0);
  EXPECT_NE(about.st_mode & 0044, 0u) << "a report, not a secret";
  {
    ReportFile abandoned;
    ASSERT_TRUE(abandoned.open(dir.file("never.csv"), &error));
  }
  std::error_code ignored;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path(), ignored),
                          std::filesystem::directory_iterator()),
            1)
      << "nothing left behind but the report";
}

// --window: read strictly (a typo must not become another window), and a
// local time placed in it, across midnight included.
TEST(Rollout, TheWindowIsReadStrictlyAndMayCrossMidnight) {
  struct Parse {
    const char* text;
    int open, close;  // minutes; -1: refused
  } parses[] = {
      {"22:00-06:00", 1320, 360},
      {"0:00-23:59", 0, 1439},
      {"01:30-02:45", 90, 165},
      {"23:00-00:00", 1380, 0},
      {"", -1, -1},
      {"22:00", -1, -1},
      {"22:00-", -1, -1},
      {"-06:00", -1, -1},
      {"24:00-06:00", -1, -1},
      {"22:60-06:00", -1, -1},
      {"22:0-06:00", -1, -1},
      {"22:00 -06:00", -1, -1},
      {"22h00-06h00", -1, -1},
      {"+1:00-06:00", -1, -1},
      {"22:00-06:00-07:00", -1, -1},
      {"022:00-06:00", -1, -1},
      {"22:00\xe2\x80\x93"
       "06:00",
       -1, -1},
      {"06:00-06:00", -1, -1},
  };
  for (const Parse& p : parses) {
    SCOPED_TRACE(p.text);
    Window window;
    std::string error;
    bool read = parse_window(p.text, &window, &error);
    ASSERT_EQ(read, p.open >= 0) << error;
    if (!read) continue;
    EXPECT_EQ(window.open_minute, p.open);
    EXPECT_EQ(window.close_minute, p.close);
    Window again;
    ASSERT_TRUE(parse_window(window_text(window), &again, &error));
    EXPECT_EQ(again.open_minute, window.open_minute);
  }
  Window empty;
  std::string error;
  EXPECT_FALSE(parse_window("06:00-06:00", &empty, &error));
  EXPECT_NE(error.find("never be open"), std::string::npos) << error;

  struct Moment {
    const char* window;
    int hour, minute, second;
    bool inside;
    long to_change;
  } moments[] = {
      {"22:00-06:00", 21, 59, 0, false, 60},
      {"22:00-06:00", 22, 0, 0, true, 8L * 3600},
      {"22:00-06:00", 23, 59, 59, true, 6L * 3600 + 1},
      {"22:00-06:00", 0, 0, 0, true, 6L * 3600},
      {"22:00-06:00", 5, 59, 59, true, 1},
      {"22:00-06:00", 5, 59, 60, true, 1},
      {"22:00-06:00", 6, 0, 0, false, 16L * 3600},
      {"01:00-03:00", 0, 30, 0, false, 1800},
      {"01:00-03:00", 2, 0, 0, true, 3600},
      {"01:00-03:00", 3, 0, 0, false, 22L * 3600},
      {"01:00-03:00", 23, 0, 0, false, 2L * 3600},
      {"23:00-00:00", 23, 30, 0, true, 1800},
      {"23:00-00:00", 0, 0, 0, false, 23L * 3600},
  };
  for (const Moment& m : moments) {
    SCOPED_TRACE(std::string(m.window) + " at " + std::to_string(m.hour) + ":" +
                 std::to_string(m.minute) + ":" + std::to_string(m.second));
    Window window;
    ASSERT_TRUE(parse_window(m.window, &window, &error));
    std::tm local{};
    local.tm_hour = m.hour;
    local.tm_min = m.minute;
    local.tm_sec = m.second;
    WindowState state = window_state(window, local);
    EXPECT_EQ(state.inside, m.inside);
    EXPECT_EQ(state.seconds_to_change, m.to_change);
  }
}

// --keep-trying: its durations, and the waits between tries: about 30 s
// first, doubling, never more than 15 min, spread 20 % either way.
TEST(Rollout, RetriesBackOffWithJitterUpToTheCap) {
  struct Duration {
    const char* text;
    long long seconds;  // -1: refused
  } durations[] = {
      {"90m", 5400}, {"8h", 28800}, {"1h30m", 5400},  {"45s", 45},  {"168h", 604800}, {"", -1},
      {"0m", -1},    {"90", -1},    {"m", -1},        {"1.5h", -1}, {"90 m", -1},     {"-5m", -1},
      {"169h", -1},  {"1d", -1},    {"9999999h", -1}, {"1h30", -1}, {"90M", -1},
  };
  for (const Duration& d : durations) {
    SCOPED_TRACE(d.text);
    std::chrono::seconds duration{};
    std::string error;
    bool read = parse_duration(d.text, &duration, &error);
    ASSERT_EQ(read, d.seconds > 0) << error;
    if (read) {
      EXPECT_EQ(duration.count(), d.seconds);
    }
  }

  using std::chrono::milliseconds;
  struct Wait {
    int failed;
    long long low_ms, high_ms;  // at uniform 0, and its bound as uniform nears 1
  } waits[] = {
      {1, 24000, 36000},   {2, 48000, 72000},    {3, 96000, 144000},
      {4, 192000, 288000}, {5, 384000, 576000},  {6, 720000, 900000},
      {7, 720000, 900000}, {60, 720000, 900000}, {0, 24000, 36000},
  };
  for (const Wait& w : waits) {
    SCOPED_TRACE(w.failed);
    EXPECT_EQ(retry_delay(w.failed, 0.0), milliseconds(w.low_ms));
    EXPECT_EQ(retry_delay(w.failed, 0.5), milliseconds((w.low_ms + w.high_ms) / 2));
    milliseconds near_top = retry_delay(w.failed, 0.999999);
    EXPECT_LE(near_top, milliseconds(w.high_ms));
    EXPECT_GE(near_top, milliseconds(w.high_ms - 1));
    EXPECT_LE(retry_delay(w.failed, 1.5), std::chrono::duration_cast<milliseconds>(LONGEST_RETRY));
  }
  // Devices that failed together spread over the whole range, none past the cap.
  std::mt19937 random(38);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  milliseconds shortest = milliseconds::max(), longest{0};
  for (int device = 0; device < 100; ++device) {
    milliseconds wait = retry_delay(6, uniform(random));
    shortest = std::min(shortest, wait);
    longest = std::max(longest, wait);
  }
  EXPECT_LT(shortest, milliseconds(750000));
  EXPECT_GT(longest, milliseconds(870000));
  EXPECT_LE(longest, milliseconds(900000));
}

// The command line's own parser (it builds on Windows too) reads exactly
// what the system's inet_pton reads, to the same address.
TEST(Addresses, DottedQuadsAreReadAsTheSystemReadsThem) {
  for (const char* text : {"198.51.100.20", "0.0.0.0",         "255.255.255.255", "203.0.113.0",
                           "198.51.100",    "198.51.100.20.1", "198.51.100.256",  "198.051.100.20",
                           "198.51.100.00", "198.51.100.20 ",  " 198.51.100.20",  "",
                           "1234.1.1.1",    "1.1.1.1.",        ".1.1.1",          "1..1.1",
                           "+1.1.1.1",      "0x1.1.1.1",       "1.1.1.1/24",      "198.51.100.2O",
                           "4294967295"}) {
    in_addr system{};
    bool expected = ::inet_pton(AF_INET, text, &system) == 1;
    std::uint32_t address = 0;
    EXPECT_EQ(frontend::parse_dotted(text, &address), expected) << '"' << text << '"';
    if (expected) {
      EXPECT_EQ(address, ntohl(system.s_addr)) << text;
    }
  }
}

TEST(FleetList, EveryBadLineIsReportedWithItsReason) {
  TempDir dir;
  write_file(dir.file("ok.pw"), "s3cret\n");
  write_file(dir.file("open.pw"), "s3cret\n", 0644);
  write_file(dir.file("long.pw"), std::string(127, 'x') + "\n");
  write_file(dir.file("max.pw"), std::string(126, 'x') + "\r\n");
  // The literal holds a NUL: write it byte for byte.
  {
    std::ofstream out(dir.file("list.txt"), std::ios::binary);
    const char bytes[] =
        "# comment\n198.51.100.20\n198.51.100.21 admin ok.pw   # relative to the list\n"
        "198.51.100.22 admin\n198.51.100.23 admin ok.pw extra\n198.51.100.99\0\xff\n"
        "198.51.100.24 admin open.pw\n198.51.100.25 admin long.pw\n"
        "198.51.100.26 admin missing.pw\n198.51.100.256\n198.051.100.020\n"
        "198.51.100.27 admin max.pw\n";
    out.write(bytes, sizeof bytes - 1);
  }
  std::vector<FleetEntry> entries;
  std::vector<std::string> errors;
  EXPECT_FALSE(read_fleet_list(dir.file("list.txt"), &entries, &errors));
  std::vector<std::pair<int, std::string>> expected = {
      {4, "a user without a password file"},
      {5, "too many fields (4)"},
      {6, "a control character or NUL byte"},
      {7, "may be read or changed by others (mode 0644): make it private with chmod 600"},
      {8, "longer than 126 characters"},
      {9, "missing.pw: No such file or directory"},
      {10, "Invalid IP Address: 198.51.100.256"},
      {11, "198.051.100.020 is listed twice"},
  };
  ASSERT_EQ(errors.size(), expected.size()) << ::testing::PrintToString(errors);
  for (std::size_t i = 0; i < errors.size(); ++i) {
    std::string where = dir.file("list.txt") + ":" + std::to_string(expected[i].first) + ": ";
    EXPECT_EQ(errors[i].rfind(where, 0), 0u) << errors[i];
    EXPECT_NE(errors[i].find(expected[i].second), std::string::npos) << errors[i];
  }
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].password_file, dir.file("ok.pw"));
  EXPECT_EQ(entries[2].address, "198.51.100.27");
  std::string password;
  std::string error;
  ASSERT_TRUE(read_password_file(dir.file("max.pw"), &password, &error)) << error;
  EXPECT_EQ(password, std::string(126, 'x')) << "the line end is not part of it";
  // As Windows tools write it: a byte-order mark and UTF-16 are not part of
  // the password; a blank before the line end (cmd's echo x > f) is refused.
  std::string utf16le =
      std::string("\xff\xfe") + std::string("l\0\xe4\0b\0\x3d\xd8\x00\xde\r\0\n\0", 14);
  std::string utf16be = std::string("\xfe\xff") + std::string("\0l\0\xe4\0b\0\r\0\n", 10);
  for (auto [written, expected] :
       {std::pair{std::string("\xef\xbb\xbflab\r\n"), std::string("lab")},
        {utf16le,
         "l\xc3\xa4"
         "b\xf0\x9f\x98\x80"},
        {utf16be,
         "l\xc3\xa4"
         "b"},
        {std::string("\xef\xbbx\n"), "\xef\xbbx"},
        {std::string("lab \r\n"), ""},
        {std::string("lab\t\n"), ""}}) {
    SCOPED_TRACE(written);
    write_file(dir.file("windows.pw"), written);
    bool read = read_password_file(dir.file("windows.pw"), &password, &error);
    if (expected.empty()) {
      EXPECT_FALSE(read);
      EXPECT_NE(error.find("ends with a blank"), std::string::npos) << error;
    } else {
      EXPECT_TRUE(read) << error;
      EXPECT_EQ(password, expected);
    }
  }
  // A list as Windows users write it: UTF-16, a quoted path with blanks.
  write_file(dir.file("John Smith.pw"), "s3cret\n");
  std::string list16 = "\xff\xfe";
  for (char c : std::string("198.51.100.30 admin \"John Smith.pw\" # quoted\r\n"
                            "198.51.100.31 admin \"John Smith.pw\r\n"))
    list16 += std::string(1, c) + '\0';
  write_file(dir.file("list16.txt"), list16);
  entries.clear();
  errors.clear();
  EXPECT_FALSE(read_fleet_list(dir.file("list16.txt"), &entries, &errors));
  ASSERT_EQ(entries.size(), 1u) << ::testing::PrintToString(errors);
  EXPECT_EQ(entries[0].password_file, dir.file("John Smith.pw"));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find(":2: a quote left open"), std::string::npos) << errors[0];
  write_file(dir.file("nomark.txt"), std::string("1\0009\0008\0.\0", 8));
  errors.clear();
  EXPECT_FALSE(read_fleet_list(dir.file("nomark.txt"), &entries, &errors));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("UTF-16 without a byte-order mark"), std::string::npos) << errors[0];
  // Private, but another user's: its owner could read it or put another in.
  if (::geteuid() == 0) {
    write_file(dir.file("theirs.pw"), "s3cret\n");
    ASSERT_EQ(::chown(dir.file("theirs.pw").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(read_password_file(dir.file("theirs.pw"), &password, &error));
    EXPECT_NE(error.find("belongs to another user (uid 65534)"), std::string::npos) << error;
  }

  // Standard input on a terminal would echo the password: refused, pointing
  // to the prompt, and nothing typed there is taken.
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(::write(master, "typed\n", 6), 6);
  int saved_input = ::dup(STDIN_FILENO);
  ::dup2(terminal, STDIN_FILENO);
  password.clear();
  bool read = read_password_file("-", &password, &error);
  ::dup2(saved_input, STDIN_FILENO);
  ::close(saved_input);
  EXPECT_FALSE(read);
  EXPECT_EQ(password, "");
  EXPECT_NE(error.find("leave --password-file out"), std::string::npos) << error;
  ::close(terminal);
  ::close(master);

  // Saved by a Windows editor: a byte-order mark and CR LF.
  write_file(dir.file("windows.txt"),
             "\xef\xbb\xbf"
             "198.51.100.20\r\n198.51.100.21 admin ok.pw\r\n");
  entries.clear();
  errors.clear();
  EXPECT_TRUE(read_fleet_list(dir.file("windows.txt"), &entries, &errors))
      << ::testing::PrintToString(errors);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].address, "198.51.100.20");
  EXPECT_EQ(entries[1].password_file, dir.file("ok.pw"));
}

// --help and the manual page say the same, and say everything: every option
// of the parser has its text in the table and every result code its entry.
TEST(Help, TheParserAndTheManualPageShowTheSameTableAndEveryCode) {
  // What roff() changed back, so the page's text can be compared.
  auto unroffed = [](std::string page) {
    for (auto [from, to] : {std::pair<std::string, std::string>{"\\-", "-"},
                            {"\\&", ""},
                            {"\\e", "\\"},
                            {"\"\"", "\""}}) {
      for (std::size_t at = 0; (at = page.find(from, at)) != std::string::npos; at += to.size())
        page.replace(at, from.size(), to);
    }
    return page;
  };
  std::string page = unroffed(manual_commands());
  std::string synopsis = unroffed(manual_synopsis());
  for (const CommandHelp& command : command_help()) {
    SCOPED_TRACE(command.name);
    std::ostringstream captured;
    std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
    std::vector<std::string> words = {"qel-upgrade", command.name, "--help"};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    int code = admin_main(static_cast<int>(argv.size()), argv.data());
    std::cout.rdbuf(saved);
    std::string help = captured.str();
    EXPECT_EQ(code, 0);
    EXPECT_NE(help.find(help_footer(command)), std::string::npos) << help;
    EXPECT_NE(page.find(".SS " + std::string(command.name) + "\n" + command.summary),
              std::string::npos);
    // This system's words (the tests run on POSIX, as the manual page is).
    auto posix = [](const char* text) { return for_system(text, HelpSystem::POSIX); };
    for (const OptionHelp& option : command.options) {
      EXPECT_NE(help.find(posix(option.text)), std::string::npos) << option.name << " in:\n"
                                                                  << help;
      EXPECT_NE(page.find(posix(option.text)), std::string::npos) << option.name;
      EXPECT_NE(synopsis.find(option.name), std::string::npos) << option.name;
    }
    for (const SectionHelp& section : command.sections)
      for (const ItemHelp& item : section.items)
        EXPECT_NE(page.find(".B \"" + std::string(item.term) + "\"\n" + posix(item.text)),
                  std::string::npos)
            << item.term;
    // Each system's words: none of the other's.
    std::string windows = help_footer(command, HelpSystem::WINDOWS),
                unix_words = help_footer(command);
    for (const OptionHelp& option : command.options) {
      windows += for_system(option.text, HelpSystem::WINDOWS);
      unix_words += posix(option.text);
    }
    for (const char* word : {"chmod", "SIGTERM", "0700", "FIFO", "/run/qel-upgrade", "terminal)"})
      EXPECT_EQ(windows.find(word), std::string::npos) << word << " in Windows help";
    for (const char* word : {"icacls", "%ProgramData%", "console window"})
      EXPECT_EQ(unix_words.find(word), std::string::npos) << word << " in POSIX help";
    // A choice left unresolved: a brace, a bar, then the closing brace, no brace between.
    // (std::regex here trips GCC 12's maybe-uninitialized warning in the sanitizer builds.)
    std::string both = unix_words + windows;
    for (std::size_t open = both.find('{'); open != std::string::npos;
         open = both.find('{', open + 1)) {
      std::size_t close = both.find_first_of("{}", open + 1);
      EXPECT_FALSE(close != std::string::npos && both[close] == '}' && both.find('|', open) < close)
          << "a choice left unresolved: " << both.substr(open, close - open + 1);
    }
    // No option of the parser without its text in the table.
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
      std::size_t at = line.find_first_not_of(' ');
      if (at != 2 || line.compare(at, 2, "--") != 0 || line.compare(at, 6, "--help") == 0) continue;
      std::string name = line.substr(at, line.find(' ', at) - at);
      EXPECT_FALSE(option_text(command.name, name).empty()) << "not in the table: " << line;
    }
  }
  // Every code a run or a fleet can give is explained, and each of the
  // wizard's failures has the code of the core's word.
  for (int f = FAILURE_NONE + 1; f < FAILURE_COUNT; ++f)
    EXPECT_STREQ(code_word(code_of_failure(static_cast<Failure>(f))),
                 failure_code(static_cast<Failure>(f)));
  std::string terms;
  for (const SectionHelp& section : help_of("upgrade").sections)
    if (std::string(section.title) == "Codes")
      for (const ItemHelp& item : section.items) terms += std::string(", ") + item.term + ",";
  for (Code code : all_codes()) {
    std::string word = *code_word(code) ? code_word(code) : "(none)";
    EXPECT_NE(terms.find(", " + word + ","), std::string::npos) << word << " is not explained";
  }
  // Every result: a fleet's in its Results, each of upgrade's under its exit code.
  std::string fleet_results, upgrade_exits;
  for (const SectionHelp& section : help_of("fleet").sections)
    if (std::string(section.title) == "Results")
      for (const ItemHelp& item : section.items)
        fleet_results += std::string(", ") + item.term + ",";
  for (const SectionHelp& section : help_of("upgrade").sections)
    if (std::string(section.title) == "Results and exit codes")
      for (const ItemHelp& item : section.items)
        upgrade_exits += std::string("|") + item.term + " " + item.text;
  for (Result result : all_results()) {
    std::string word = result_word(result);
    if (fleet_result_text(result)) {
      EXPECT_NE(fleet_results.find(", " + word + ","), std::string::npos) << word;
    }
    if (result == Result::SKIPPED || result == Result::NOT_STARTED || result == Result::RUNNING ||
        result == Result::WAITING)
      continue;  // the fleet's alone
    std::string exit = "|" + std::to_string(result_exit_code(result)) + " ";
    std::size_t at = upgrade_exits.find(exit);
    ASSERT_NE(at, std::string::npos) << word;
    EXPECT_NE(upgrade_exits.substr(at, upgrade_exits.find('|', at + 1) - at).find(word),
              std::string::npos)
        << word << " is not explained under exit " << result_exit_code(result);
  }
}

// What another local user may have left in a log folder, beyond the links,
// FIFOs and folders of the fleet's own test (the tests run as root and hand
// things to nobody).
TEST(FleetLog, OnlyAPrivateFolderAndPlainFilesOfThisUserAreUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
  TempDir dir;
  std::string error;
  auto folder_mode = [](int fd) {
    struct stat about {};
    ::fstat(fd, &about);
    return about.st_mode & 07777;
  };
  int made = sys::open_log_folder(dir.file("new"), &error);
  ASSERT_GE(made, 0) << error;
  EXPECT_EQ(folder_mode(made), 0700u);
  ::close(made);
  struct FolderCase {
    const char* name;
    mode_t mode;
    const char* refusal;  // nullptr: used
  } folders[] = {
      {"mine", 0755, nullptr},
      {"shared", 01777, "others may write"},
      {"group", 0775, "others may write"},
  };
  for (const FolderCase& c : folders) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(::mkdir(dir.file(c.name).c_str(), 0700), 0);
    ASSERT_EQ(::chmod(dir.file(c.name).c_str(), c.mode), 0);
    error.clear();
    int fd = sys::open_log_folder(dir.file(c.name), &error);
    EXPECT_EQ(fd >= 0, c.refusal == nullptr) << error;
    if (c.refusal) {
      EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
    }
    if (fd >= 0) ::close(fd);
  }

  int folder = ::open(dir.file("mine").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0);
  std::string secret = dir.file("secret");
  write_file(secret, "root's\n");
  std::string logs = dir.file("mine") + "/";
  write_file(logs + "theirs.log", "");
  ASSERT_EQ(::chown((logs + "theirs.log").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::link(secret.c_str(), (logs + "hard.log").c_str()), 0);
  struct FileCase {
    const char* name;
    const char* refusal;
  } files[] = {
      {"fresh.log", nullptr},
      {"theirs.log", "another user"},
      {"hard.log", "other names"},
  };
  for (const FileCase& c : files) {
    SCOPED_TRACE(c.name);
    error.clear();
    int fd = sys::open_log(folder, c.name, &error);
    EXPECT_EQ(fd >= 0, c.refusal == nullptr) << error;
    if (c.refusal) {
      EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
    }
    if (fd >= 0) ::close(fd);
  }
  struct stat about {};
  ASSERT_EQ(::stat((logs + "fresh.log").c_str(), &about), 0);
  EXPECT_EQ(about.st_mode & 0777, 0600u);
  EXPECT_EQ(simtest::read_text(secret), "root's\n");
  ::close(folder);
}

}  // namespace

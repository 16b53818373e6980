#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <string>

#include "frontends/admin/admin.h"
#include "frontends/admin/fleet.h"
#include "frontends/admin/scan.h"
#include "frontends/admin/upgrade.h"
#include "frontends/admin/util.h"

bool admin_is_subcommand(const char* word) {
  return word && (std::strcmp(word, "scan") == 0 || std::strcmp(word, "upgrade") == 0 ||
                  std::strcmp(word, "fleet") == 0);
}

int admin_main(int argc, char** argv) {
  using namespace admin;
  ensure_standard_descriptors();
  // A password on the command line would be visible to every user of the PC.
  for (int i = 2; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--password" || word.rfind("--password=", 0) == 0) {
      std::fprintf(stderr,
                   "qel-upgrade: there is no --password option: a password is never taken as "
                   "an argument; use --password-file FILE (its first line; - reads standard "
                   "input), or type it when asked\n");
      return EXIT_USAGE;
    }
  }
  CLI::App app{"Finds QEL devices on the LAN and upgrades their firmware from the command line.",
               "qel-upgrade"};
  app.require_subcommand(1, 1);
  app.fallthrough(false);

  ScanOptions scan;
  CLI::App* scan_command = app.add_subcommand(
      "scan",
      "Finds the QEL devices on the LAN: asks every address of the subnets for the device's "
      "information page, as the wizard reads it, and lists the devices that answer.");
  scan_command
      ->add_option("PREFIX", scan.prefixes,
                   "Subnets to scan, as A.B.C.D/N (at most a /22, 1024 addresses) or single "
                   "addresses. Default: the IPv4 subnets of this PC's interfaces, loopback "
                   "excluded.")
      ->type_name("");
  scan_command->add_flag("--json", scan.json,
                         "One JSON object per device and line: address, product, "
                         "software_version, mac, password_required (null values behind a "
                         "password).");
  scan_command->footer(
      "Output: a table sorted by address (ADDRESS, PRODUCT, SOFTWARE VERSION, MAC ADDRESS,\n"
      "PASSWORD REQUIRED); a device that answers with a digest challenge is listed with\n"
      "\"yes\" and no values. A summary goes to standard error. Each address gets about 1 s\n"
      "to accept the connection and 3 s to answer; 256 are asked at once, so a /24 takes\n"
      "about a second.\n"
      "Exit codes: 0 the scan ran (whether or not devices were found), 2 bad usage or a\n"
      "subnet larger than a /22.");

  UpgradeOptions upgrade;
  CLI::App* upgrade_command = app.add_subcommand(
      "upgrade",
      "Upgrades one device: the wizard's whole sequence, its dialogs answered from the "
      "command line, its messages printed as the wizard shows them.");
  upgrade_command->add_option("ADDRESS", upgrade.address, "The device's IPv4 address.")
      ->required()
      ->type_name("");
  upgrade_command
      ->add_option("--local", upgrade.local,
                   "This PC's address toward the device (one of its interface "
                   "addresses). Default: the one on the device's subnet.")
      ->type_name("ADDRESS");
  upgrade_command
      ->add_option("--user", upgrade.user, "User name for the device's password (default admin).")
      ->type_name("NAME");
  upgrade_command
      ->add_option("--password-file", upgrade.password_file,
                   "Read the device's password from the first line of FILE (- for "
                   "standard input; a file others may read is refused). Without it the "
                   "password is asked on the terminal, unechoed, when the device wants one; "
                   "it is never taken as an argument.")
      ->type_name("FILE");
  upgrade_command->add_flag("--yes", upgrade.yes,
                            "Do not ask: upgrade once the device's data is shown. Without it "
                            "the answer is read from standard input (y or yes proceeds).");
  upgrade_command->add_flag("--dry-run", upgrade.dry_run,
                            "Read the information page, say what the upgrade would do "
                            "(model, current and target versions, stages) and stop: no "
                            "upgrade request is sent.");
  upgrade_command->add_flag("--json", upgrade.json,
                            "End with one JSON object on standard output: address, result "
                            "(upgraded, current, dry-run, failed, aborted, unreachable, "
                            "unverified, busy), message, version_before, version_after, stages, "
                            "seconds, product, version_target, image_delivered.");
  upgrade_command->add_flag("--force", upgrade.force,
                            "Upgrade a device that already runs the target version too "
                            "(without it nothing is sent to such a device: result current).");
  upgrade_command->add_flag("--exit-with-parent", upgrade.exit_with_parent)->group("");
  upgrade_command->footer(
      "Progress and the wizard's messages go to standard error: a bar on a terminal, one\n"
      "line per step otherwise ([STATE] TEXT or [STATE PERCENT%] TEXT). Ctrl-C is the\n"
      "wizard's Cancel; a second Ctrl-C ends at once. When nothing happens for 120 s (a\n"
      "device that accepts a connection and never answers, or never fetches the image), the\n"
      "run ends as if cancelled. Serving the firmware needs a UDP port in 69-168 (root, or\n"
      "the port helper's right: the message says how to get it); it is checked before the\n"
      "device is contacted.\n"
      "Results and exit codes:\n"
      "  0  upgraded (the device reports the target version), current (it already did:\n"
      "     nothing was sent), or dry-run\n"
      "  1  failed (the message says which)\n"
      "  2  bad usage\n"
      "  3  aborted (Ctrl-C or a declined confirmation before the image was delivered)\n"
      "  4  unreachable (the device did not answer)\n"
      "  5  unverified: the device took the whole image, but its version afterwards is not\n"
      "     the target (version_after says what it reported), or could not be read (it did\n"
      "     not come back, or the run was interrupted while it reflashed)\n"
      "  6  this PC may not serve the firmware (no TFTP port 69-168 could be bound)\n"
      "  7  busy: another run on this PC (any user's) is upgrading the device; the message\n"
      "     names it (pid, user, command). The device was not contacted.");

  FleetOptions fleet;
  CLI::App* fleet_command = app.add_subcommand(
      "fleet",
      "Upgrades the devices listed in FILE, several at once, each in a 'qel-upgrade upgrade "
      "--json --yes' process of its own, and writes a report.");
  fleet_command
      ->add_option("FILE", fleet.list_file,
                   "One device per line: ADDRESS [USER PASSWORD-FILE], separated by blanks; "
                   "'#' starts a comment. A relative PASSWORD-FILE is read from FILE's folder.")
      ->required()
      ->type_name("");
  fleet_command
      ->add_option("--parallel", fleet.parallel,
                   "Upgrades running at once (default 8, at most 100: each needs its own TFTP "
                   "port among 69-168).")
      ->check(CLI::Range(1, FLEET_MAX_PARALLEL))
      ->type_name("N");
  fleet_command
      ->add_option("--report", fleet.report_file,
                   "Write the report to FILE: JSON when the name ends in .json, "
                   "else CSV with a header line. Default: CSV on standard output.")
      ->type_name("FILE");
  fleet_command->add_flag("--force", fleet.force,
                          "Upgrade devices that already run the target version too (they are "
                          "skipped otherwise).");
  fleet_command
      ->add_option("--timeout", fleet.timeout_seconds,
                   "Stop a device's upgrade that has no result after SECONDS (default 600: "
                   "a transfer, the reboot and the ten checks after it take a few minutes at "
                   "most).")
      ->check(CLI::Range(1, 86400))
      ->type_name("SECONDS");
  fleet_command
      ->add_option("--canary", fleet.canary,
                   "Upgrade the first N devices to upgrade on their own first (a device already "
                   "current does not count); if one of them does not end upgraded, no other "
                   "starts.")
      ->check(CLI::Range(1, 100000))
      ->type_name("N");
  std::string max_failures;
  fleet_command
      ->add_option("--max-failures", max_failures,
                   "Once N upgrades (or N% of the devices to upgrade) did not end upgraded or "
                   "skipped, start no other; the running ones finish.")
      ->type_name("N|N%");
  fleet_command
      ->add_option("--retry", fleet.retry_report,
                   "An earlier report of this list: upgrade again every device it does not "
                   "show upgraded or skipped (failed, unreachable, aborted, unverified, busy, "
                   "not-started, and running: left by a fleet that was killed); one already on "
                   "the target version then ends skipped. The others are carried over as they "
                   "were. A report saved by a spreadsheet (CR LF, a byte-order mark) is read.")
      ->type_name("REPORT");
  fleet_command
      ->add_option("--log-dir", fleet.log_dir,
                   "Append each device's steps and messages to DIR/ADDRESS.log; the report "
                   "names each file. DIR is made private (0700) if missing, and refused when "
                   "another user owns it or others may write to it; a log that is a link, a "
                   "FIFO or another user's file is not used (said once).")
      ->type_name("DIR");
  fleet_command->footer(
      "Report fields: address, product, version_before, version_after, result (upgraded,\n"
      "skipped, failed, aborted, unreachable, unverified, busy, not-started), message,\n"
      "seconds, log. The JSON form is {\"report_version\": 2, \"devices\": [...]}. CSV\n"
      "fields are on one line, and a field a spreadsheet would run as a formula starts\n"
      "with '.\n"
      "The report is written to a temporary file in its folder and renamed, also when the\n"
      "fleet is interrupted; it must be writable before any upgrade starts. On a terminal\n"
      "each running device has a live line (state, percent). Ctrl-C starts no more\n"
      "upgrades and lets the running ones finish; a second Ctrl-C aborts them cleanly. The\n"
      "upgrades end when the fleet does.\n"
      "Exit codes: 0 every device upgraded or skipped, 1 any other outcome, 2 bad usage or\n"
      "list, or an unwritable report, 3 interrupted, 6 this PC may not serve the firmware,\n"
      "7 the others upgraded or skipped but some busy (another run had them: --retry later).");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : EXIT_USAGE;
  }
  if (scan_command->parsed()) return run_scan(scan);
  if (upgrade_command->parsed()) return run_upgrade(upgrade);
  if (!max_failures.empty()) {
    fleet.max_failures_percent = max_failures.back() == '%';
    std::string digits = max_failures.substr(0, max_failures.size() - fleet.max_failures_percent);
    if (digits.empty() || digits.size() > 6 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) < 1 ||
        (fleet.max_failures_percent && std::stoi(digits) > 100)) {
      std::fprintf(stderr,
                   "qel-upgrade fleet: --max-failures takes N or N%% (N from 1; at most "
                   "100%%), not %s\n",
                   max_failures.c_str());
      return EXIT_USAGE;
    }
    fleet.max_failures = std::stoi(digits);
  }
  return run_fleet(fleet);
}

#include "admin/command_line.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "admin/fleet/fleet.h"
#include "admin/help.h"
#include "admin/output.h"
#include "admin/record/result.h"
#include "admin/rollout/patience.h"
#include "admin/rollout/window.h"
#include "admin/scan/scan.h"
#include "admin/upgrade/upgrade.h"
#include "platform/console.h"
#include "platform/program.h"

bool admin_is_subcommand(const char* word) {
  return word && (std::strcmp(word, "scan") == 0 || std::strcmp(word, "upgrade") == 0 ||
                  std::strcmp(word, "fleet") == 0);
}

int admin_main(int argc, char** argv, const char* program) {
  using namespace admin;
  sys::ensure_standard_descriptors();
  const bool windows = sys::system_kind() == sys::SystemKind::WINDOWS;
  // /? is how Windows asks a program for its help.
  std::vector<std::string> words(argv, argv + argc);
  std::vector<char*> args;
  for (std::string& word : words) {
    if (windows && word == "/?") word = "--help";
    args.push_back(word.data());
  }
  argv = args.data();
  // A password on the command line would be visible to every user of the PC.
  for (int i = 2; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--password" || word.rfind("--password=", 0) == 0) {
      print_err(
          "qel-upgrade: there is no --password option: a password is never taken as "
          "an argument; use --password-file FILE (its first line; - reads standard "
          "input), or type it when asked\n");
      return EXIT_USAGE;
    }
  }
  CLI::App app{"Finds QEL devices on the LAN and upgrades their firmware from the command line.",
               program};
  app.require_subcommand(1, 1);
  app.fallthrough(false);
  // Options are spelled --name on every system: /data/list.txt (on Windows a
  // path from the drive's root) is a file, never an option.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", std::string(program) + " " + QEL_VERSION);

  // Every text comes from help.h's table, which the manual page is made from.
  const HelpSystem system = windows ? HelpSystem::WINDOWS : HelpSystem::POSIX;
  auto text = [system](const char* command, const char* option) {
    return option_text(command, option, system);
  };
  auto footer = [system](const char* command) { return help_footer(help_of(command), system); };

  ScanOptions scan;
  CLI::App* scan_command = app.add_subcommand("scan", for_system(help_of("scan").summary, system));
  scan_command->add_option("PREFIX", scan.prefixes, text("scan", "PREFIX"))->type_name("");
  scan_command->add_flag("--json", scan.json, text("scan", "--json"));
  scan_command->footer(footer("scan"));

  UpgradeOptions upgrade;
  CLI::App* upgrade_command =
      app.add_subcommand("upgrade", for_system(help_of("upgrade").summary, system));
  upgrade_command->add_option("ADDRESS", upgrade.address, text("upgrade", "ADDRESS"))
      ->required()
      ->type_name("");
  upgrade_command->add_option("--local", upgrade.local, text("upgrade", "--local"))
      ->type_name("ADDRESS");
  upgrade_command->add_option("--user", upgrade.user, text("upgrade", "--user"))->type_name("NAME");
  upgrade_command
      ->add_option("--password-file", upgrade.password_file, text("upgrade", "--password-file"))
      ->type_name("FILE");
  upgrade_command->add_flag("--yes", upgrade.yes, text("upgrade", "--yes"));
  upgrade_command->add_flag("--dry-run", upgrade.dry_run, text("upgrade", "--dry-run"));
  upgrade_command->add_flag("--json", upgrade.json, text("upgrade", "--json"));
  upgrade_command->add_flag("--force", upgrade.force, text("upgrade", "--force"));
  std::string upgrade_patience;
  upgrade_command->add_option("--keep-trying", upgrade_patience, text("upgrade", "--keep-trying"))
      ->type_name("DURATION");
  // The fleet's own, for its children: not shown.
  upgrade_command->add_flag("--exit-with-parent", upgrade.exit_with_parent)->group("");
  upgrade_command->footer(footer("upgrade"));

  FleetOptions fleet;
  CLI::App* fleet_command =
      app.add_subcommand("fleet", for_system(help_of("fleet").summary, system));
  fleet_command->add_option("FILE", fleet.list_file, text("fleet", "FILE"))
      ->required()
      ->type_name("");
  fleet_command->add_option("--parallel", fleet.parallel, text("fleet", "--parallel"))
      ->check(CLI::Range(1, FLEET_MAX_PARALLEL))
      ->type_name("N");
  fleet_command->add_option("--report", fleet.report_file, text("fleet", "--report"))
      ->type_name("FILE");
  fleet_command->add_flag("--force", fleet.force, text("fleet", "--force"));
  fleet_command->add_option("--timeout", fleet.timeout_seconds, text("fleet", "--timeout"))
      ->check(CLI::Range(1, 86400))
      ->type_name("SECONDS");
  fleet_command->add_option("--canary", fleet.canary, text("fleet", "--canary"))
      ->check(CLI::Range(1, 100000))
      ->type_name("N");
  std::string max_failures;
  fleet_command->add_option("--max-failures", max_failures, text("fleet", "--max-failures"))
      ->type_name("N|N%");
  fleet_command->add_option("--retry", fleet.retry_report, text("fleet", "--retry"))
      ->type_name("REPORT");
  fleet_command->add_option("--log-dir", fleet.log_dir, text("fleet", "--log-dir"))
      ->type_name("DIR");
  std::string window, fleet_patience;
  fleet_command->add_option("--window", window, text("fleet", "--window"))
      ->type_name("HH:MM-HH:MM");
  fleet_command->add_option("--keep-trying", fleet_patience, text("fleet", "--keep-trying"))
      ->type_name("DURATION");
  fleet_command->footer(footer("fleet"));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : EXIT_USAGE;
  }
  if (scan_command->parsed()) return run_scan(scan);
  // Given at all, as "" too: a duration or window must be one.
  auto patience = [](CLI::App* command, const std::string& text, std::chrono::seconds* duration) {
    std::string error;
    if (command->count("--keep-trying") == 0 || parse_duration(text, duration, &error)) return true;
    print_err("qel-upgrade %s: %s\n", command->get_name().c_str(), error.c_str());
    return false;
  };
  if (upgrade_command->parsed()) {
    if (!patience(upgrade_command, upgrade_patience, &upgrade.keep_trying)) return EXIT_USAGE;
    return run_upgrade(upgrade);
  }
  if (!patience(fleet_command, fleet_patience, &fleet.keep_trying)) return EXIT_USAGE;
  if (fleet_command->count("--window") > 0) {
    std::string error;
    if (!parse_window(window, &fleet.window, &error)) {
      print_err("qel-upgrade fleet: %s\n", error.c_str());
      return EXIT_USAGE;
    }
    fleet.has_window = true;
  }
  if (!max_failures.empty()) {
    fleet.max_failures_percent = max_failures.back() == '%';
    std::string digits = max_failures.substr(0, max_failures.size() - fleet.max_failures_percent);
    if (digits.empty() || digits.size() > 6 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) < 1 ||
        (fleet.max_failures_percent && std::stoi(digits) > 100)) {
      print_err(
          "qel-upgrade fleet: --max-failures takes N or N%% (N from 1; at most "
          "100%%), not %s\n",
          max_failures.c_str());
      return EXIT_USAGE;
    }
    fleet.max_failures = std::stoi(digits);
  }
  return run_fleet(fleet);
}

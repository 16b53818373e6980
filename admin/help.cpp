#include "admin/help.h"

#include <cstdlib>
#include <deque>
#include <sstream>
#include <utility>

#include "admin/record/code.h"
#include "admin/record/result.h"

namespace admin {

namespace {

// The results an `upgrade` ends with; fleet reports them too.
const std::vector<ItemHelp> UPGRADE_CODES = {
    {"0",
     "upgraded (the device reports the target version afterwards), current (it already ran it: "
     "nothing was sent), or dry-run."},
    {"1", "failed: the message says how."},
    {"2", "Bad usage: an unknown option, an address that is not one, an unreadable password file."},
    {"3",
     "aborted: Ctrl-C, or the confirmation declined, before the image was delivered. The device "
     "keeps its version."},
    {"4", "unreachable: the device did not answer."},
    {"5",
     "unverified: the device took the whole image, but afterwards it reports another version "
     "(version_after), or its version could not be read (it did not come back, or the run was "
     "interrupted while it reflashed). Check the device."},
    {"6",
     "This PC cannot serve the firmware: no UDP port from 69 to 168 could be bound (other "
     "programs hold them all{, or this user may not bind them: root, or the port helper's "
     "right; the message says how to get it|}). Result failed, code listener-bind."},
    {"7",
     "busy: another run on this PC (an upgrade, a fleet, an Ansible task) is upgrading this "
     "device; nothing was sent. The message says which run holds it."},
};

// The items of a table, consecutive entries with the same text joined
// ("a, b, c": text).
template <typename T>
std::vector<ItemHelp> joined_items(const std::vector<T>& all, const char* (*word)(T),
                                   const char* (*text)(T), const char* empty_word) {
  static std::deque<std::string> terms;  // the joined terms live as long as the table
  std::vector<ItemHelp> items;
  std::vector<std::pair<std::string, const char*>> rows;
  for (T value : all) {
    const char* meaning = text(value);
    if (!meaning) continue;
    std::string term = *word(value) ? word(value) : empty_word;
    if (!rows.empty() && std::string(rows.back().second) == meaning)
      rows.back().first += ", " + term;
    else
      rows.emplace_back(term, meaning);
  }
  for (auto& [term, meaning] : rows) {
    terms.push_back(term);
    items.push_back({terms.back().c_str(), meaning});
  }
  return items;
}

const std::vector<CommandHelp> COMMANDS = {
    {"scan",
     "Finds the QEL devices on the LAN: asks every address of the subnets for the device's "
     "information page, as the wizard reads it, and lists the devices that answer. Scan only "
     "networks you administer.",
     {
         {"PREFIX", "",
          "Subnets to scan, as A.B.C.D/N (at most a /22, 1024 addresses) or single addresses. "
          "Default: the IPv4 subnets of this PC's interfaces, loopback excluded; one larger "
          "than a /22 is skipped with a note.",
          true},
         {"--json", "",
          "One JSON object per device and line: address, product, software_version, mac, "
          "password_required (null values behind a password)."},
     },
     {
         {"Output",
          "A table sorted by address (ADDRESS, PRODUCT, SOFTWARE VERSION, MAC ADDRESS, PASSWORD "
          "REQUIRED); a device that answers with a digest challenge is listed with \"yes\" and no "
          "values. Texts from devices are shown with control and direction characters replaced. "
          "A summary goes to standard error, and so do the addresses that accepted the "
          "connection but did not answer the page (a device that hangs looks like that). Each "
          "address gets about 1 s to accept the connection and 3 s to answer; 256 are asked at "
          "once, so a /24 takes about a second.",
          {}},
         {"Exit codes",
          "",
          {{"0", "The scan ran, whether or not devices were found."},
           {"2", "Bad usage, or a subnet larger than a /22."}}},
     }},
    {"upgrade",
     "Upgrades one device: the wizard's whole sequence, its dialogs answered from the command "
     "line, its messages printed as the wizard shows them.",
     {
         {"ADDRESS", "", "The device's IPv4 address."},
         {"--local", "ADDRESS",
          "This PC's address toward the device (one of its interface addresses). Default: the "
          "one on the device's subnet."},
         {"--user", "NAME", "User name for the device's password (default admin)."},
         {"--password-file", "FILE",
          "Read the device's password from the first line of FILE (- for standard input, when "
          "it is not a {terminal|console}). A file others may read or change is refused ({chmod "
          "600|it must be yours, and no one's but yours, SYSTEM's and Administrators': icacls "
          "FILE /inheritance:r /grant:r %USERNAME%:F}), as is one whose first line ends with a "
          "blank (a byte-order mark and UTF-16 are read), and so is a password longer than 126 "
          "characters. Without it the password is asked on the "
          "terminal, without echo, when the device wants one. It is never taken as an argument, "
          "and a process that holds one leaves no core file."},
         {"--yes", "",
          "Do not ask: upgrade once the device's data is shown. Without it the answer is read "
          "from standard input: y or yes proceeds, anything else (or the end of input) "
          "declines."},
         {"--dry-run", "",
          "Read the information page, say what the upgrade would do (model, current and target "
          "versions, one or two stages) and stop: no upgrade request is sent."},
         {"--force", "",
          "Upgrade a device that already runs the target version too (without it nothing is "
          "sent to such a device: result current)."},
         {"--json", "",
          "End with one JSON object on standard output: address, result, message (the "
          "wizard's, or the command line's own), version_before, version_after (what the device "
          "reported at the end), stages, seconds, product, version_target, image_delivered "
          "(true once the device acknowledged every byte of the image), code, attempts (how "
          "many times the device was contacted: 1, more with --keep-trying, 0 when the run "
          "ended before, e.g. busy)."},
         {"--keep-trying", "DURATION",
          "When the device does not answer, or another run on this PC holds it (busy), try again "
          "instead of ending, for up to DURATION (90m, 8h, 1h30m; at most 168h): the first "
          "time after about 30 s, then after twice as long each time, at most 15 min apart, each "
          "wait up to 20% shorter or longer at random. Each try takes the device's lock and asks "
          "for its information page afresh, as scan does; once the device answers, the upgrade "
          "runs, once: a device that answered and then failed is not tried again. Ctrl-C ends "
          "the wait (aborted). Without it the device is tried once."},
     },
     {
         {"Progress",
          "Progress and the wizard's messages go to standard error: a bar on a terminal, "
          "otherwise one line per step ([STATE] TEXT or [STATE PERCENT%] TEXT). Texts from the "
          "device are shown with control and direction characters replaced. Ctrl-C is the "
          "wizard's Cancel; a second Ctrl-C ends at once. When nothing happens for 120 s, the run "
          "ends as if cancelled. Serving the firmware needs a UDP port in 69-168; it is checked "
          "before the device is contacted. Only one run on this PC works on a device at a time, "
          "whoever started it (upgrade, fleet, the Ansible modules): a second one does not "
          "contact the device and ends busy, naming the run that holds it (pid, user, command); "
          "a run that died holds nothing. The lock lives in a folder only root and the group "
          "qel-upgrade may write ({/run/qel-upgrade|%ProgramData%\\QEL Upgrade\\devices: "
          "SYSTEM, Administrators and whom they allow}): no other user can take, hold or "
          "fake it; "
          "a run that cannot take it ends failed (code device-lock) without contacting the "
          "device. An upgrade counts only when the device reports the "
          "target version afterwards.",
          {}},
         {"Results and exit codes", "", UPGRADE_CODES},
         {"Codes",
          "The JSON's code says what ended a run that did not succeed, for programs; the message "
          "says it for people.",
          joined_items(all_codes(), code_word, code_explanation, "(none)")},
     }},
    {"fleet",
     "Upgrades the devices listed in FILE, several at once, each in a 'qel-upgrade upgrade "
     "--json --yes' process of its own, and writes a report. A safe rollout: qel-upgrade fleet "
     "FILE --canary 1 --max-failures 10% --log-dir logs --report report.csv; after an "
     "interruption or a failure, the same with --retry report.csv.",
     {
         {"FILE", "",
          "One device per line: ADDRESS [USER PASSWORD-FILE], separated by blanks; '#' starts a "
          "comment. A relative PASSWORD-FILE is read from FILE's folder. Every bad line is "
          "reported, and nothing starts until the list is right."},
         {"--parallel", "N",
          "Upgrades running at once (default 8, at most 100: each needs its own TFTP port among "
          "69-168)."},
         {"--report", "FILE",
          "Write the report to FILE: JSON when the name ends in .json, else CSV with a header "
          "line. Default: CSV on standard output. It must be writable before any upgrade "
          "starts."},
         {"--force", "",
          "Upgrade devices that already run the target version too (they are skipped "
          "otherwise)."},
         {"--timeout", "SECONDS",
          "Stop a device's upgrade that has no result after SECONDS (default 600: a transfer, "
          "the reboot and the checks after it take a few minutes at most): result failed, or "
          "unverified once the image was delivered; code timeout."},
         {"--canary", "N",
          "Upgrade the first N devices to upgrade on their own first (a device already current "
          "does not count); if one of them does not end upgraded, no other starts (the others "
          "end not-started)."},
         {"--max-failures", "N|N%",
          "Once N upgrades (or N% of the devices to upgrade) did not end upgraded or skipped, "
          "start no other; the running ones finish."},
         {"--retry", "REPORT",
          "An earlier report of this list: upgrade again only the devices it shows failed, "
          "unreachable, aborted, not-started, busy, "
          "running (in flight when that fleet was stopped) or unverified; the others are carried "
          "over as they were. A device that is current by then ends skipped, so a retry is "
          "harmless. A report saved by a spreadsheet (CR LF line ends, a byte-order mark) is "
          "read. Give the same --report to keep one report up to date."},
         {"--log-dir", "DIR",
          "Append each device's steps and messages to DIR/ADDRESS.log; the report names each "
          "file. DIR is made private ({0700|for you, SYSTEM and Administrators}) if missing, and "
          "refused when it is a link, another user owns it or others may write to it; a log "
          "that is a link, {a FIFO |a device }or another user's file is "
          "not used (said once)."},
         {"--window", "HH:MM-HH:MM",
          "Start upgrades only inside this window of the PC's local time (22:00-06:00 crosses "
          "midnight). Until it opens the fleet waits, and says when it opens. An upgrade that "
          "has started always finishes, whatever the clock says: a reflash is never cut. The "
          "devices not started when it closes end not-started with code window-closed, so that "
          "--retry takes them in the next window."},
         {"--keep-trying", "DURATION",
          "Try a device that did not answer (unreachable), or that another run on this PC held "
          "(busy), again instead of ending there, for up to DURATION (90m, 8h, 1h30m; at most "
          "168h) from when the first upgrade could start, and only while the --window is open: "
          "the first time after about 30 s, then after twice as long each time, at most 15 min "
          "apart, each wait up to 20% shorter or longer at random, so that devices that failed "
          "together do not come back at once. Each try is a new upgrade, which contacts the "
          "device afresh. A device that answered and failed is not tried again: that is "
          "--retry's, once someone has looked."},
     },
     {
         {"Running",
          "A device already on the target version is skipped. On a terminal each running device "
          "has a live line (state, percent), each device waiting for its next try one with the "
          "time of that try, and a fleet waiting for its --window a line with the time left; "
          "otherwise each step, each wait and each new try is a line. The fleet wakes only when "
          "something happens or is due: waiting costs nothing. The first Ctrl-C starts no more "
          "upgrades and lets the running ones finish, and the report is written at once with "
          "the devices in flight as running; a second Ctrl-C aborts them cleanly. The upgrades "
          "end when the fleet does, however it ends.",
          {}},
         {"Report",
          "One row per device of the list, in its order. The report is written when the fleet "
          "starts, again whenever a device ends or waits for its next try, and at the end, each "
          "time to a temporary file in its folder that is then renamed: a fleet killed outright "
          "(a power cut) leaves a report of everything up to then, the devices in flight as "
          "running and those not done as waiting. CSV fields stay on one line, with control and "
          "direction characters replaced, and a field a spreadsheet would run as a formula "
          "starts with '. The JSON form is {\"report_version\": 3, \"devices\": [...]} and keeps "
          "the devices' texts exact. --retry also reads the reports of version 2, which have no "
          "attempts.",
          {{"address", "As listed."},
           {"product", "The device's model."},
           {"version_before", "Its version before the upgrade."},
           {"version_after", "The version it reported at the end; empty when none."},
           {"result", "See Results."},
           {"message", "The wizard's message, or the fleet's own."},
           {"seconds", "How long its upgrade ran."},
           {"log", "Its log file (--log-dir), empty without one or when carried over."},
           {"code", "What ended it, for programs (see upgrade --help); empty when it succeeded."},
           {"attempts",
            "How many times its upgrades contacted the device in this run (more than 1 with "
            "--keep-trying; 0 when none did, e.g. busy each time)."}}},
         {"Results", "", joined_items(all_results(), result_word, fleet_result_text, "")},
         {"Exit codes",
          "",
          {{"0", "Every device was upgraded or skipped."},
           {"1", "Any other outcome: the report says which devices."},
           {"2", "Bad usage, a bad list, an unreadable --retry report or an unwritable report."},
           {"3",
            "Interrupted ({Ctrl-C, SIGTERM, SIGHUP|Ctrl-C, Ctrl-Break, the console window "
            "closed, logging off or shutting down}): the report says what was done."},
           {"6", "This PC may not serve the firmware, as for upgrade."},
           {"7",
            "The others were upgraded or skipped, but some were busy (another run had them: "
            "--retry later)."}}},
     }},
};

// Greedy word wrap: lines of at most width characters (a longer word
// stands alone), each after `indent`; the first line after `first`.
std::string wrapped(const std::string& text, std::size_t width, const std::string& first,
                    const std::string& indent) {
  std::istringstream words(text);
  std::string out, line = first, word;
  bool empty = first.empty() || first.back() == ' ';
  while (words >> word) {
    if (!empty && line.size() + 1 + word.size() > width) {
      out += line + "\n";
      line = indent;
      empty = true;
    }
    line += (empty ? "" : " ") + word;
    empty = false;
  }
  return out + line + "\n";
}

// Text for roff: a backslash escaped, every hyphen a minus sign (options
// are copied from the page), and a line never starting as a request.
std::string roff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

// A quoted macro argument: roff text with its quotes doubled.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : roff(text)) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

}  // namespace

// The text as the system says it: each {POSIX|Windows} choice resolved.
std::string for_system(const std::string& text, HelpSystem system) {
  std::string out;
  std::size_t at = 0;
  for (std::size_t open; (open = text.find('{', at)) != std::string::npos;) {
    std::size_t bar = text.find('|', open), close = text.find('}', open);
    if (close == std::string::npos) break;
    out += text.substr(at, open - at);
    if (bar == std::string::npos || bar > close) {  // a brace of the text's own (JSON)
      out += text.substr(open, close + 1 - open);
      at = close + 1;
      continue;
    }
    out += system == HelpSystem::WINDOWS ? text.substr(bar + 1, close - bar - 1)
                                         : text.substr(open + 1, bar - open - 1);
    at = close + 1;
  }
  return out + text.substr(at);
}

const std::vector<CommandHelp>& command_help() { return COMMANDS; }

const CommandHelp& help_of(const std::string& command) {
  for (const CommandHelp& c : COMMANDS)
    if (command == c.name) return c;
  std::abort();  // only the program's own names are asked for
}

std::string option_text(const std::string& command, const std::string& option, HelpSystem system) {
  for (const OptionHelp& o : help_of(command).options)
    if (option == o.name) return for_system(o.text, system);
  return "";
}

std::string help_footer(const CommandHelp& command, HelpSystem system, std::size_t width) {
  std::string out;
  for (const SectionHelp& s : command.sections) {
    if (!out.empty()) out += "\n";
    std::string title = std::string(s.title) + ":";
    if (*s.text)
      out += wrapped(for_system(s.text, system), width, title, "");
    else
      out += title + "\n";
    for (const ItemHelp& item : s.items) {
      std::string term = std::string("  ") + item.term;
      std::string text = for_system(item.text, system);
      // Short terms (exit codes) share the line with their text.
      if (term.size() <= 4) {
        out += wrapped(text, width, term + std::string(6 - term.size(), ' '), "      ");
      } else {
        out += wrapped(item.term, width, "  ", "  ");
        out += wrapped(text, width, "      ", "      ");
      }
    }
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string manual_synopsis() {
  std::string out;
  for (const CommandHelp& c : COMMANDS) {
    out += ".br\n.B qel\\-upgrade " + roff(c.name) + "\n";
    for (const OptionHelp& o : c.options) {
      bool argument = o.name[0] != '-';
      if (argument && o.optional_argument)
        out += ".RI [ " + roff(o.name) + " ...]\n";
      else if (argument)
        out += ".I " + roff(o.name) + "\n";
      else if (*o.value)
        out += ".RB [ " + roff(o.name) + "\n.IR " + roff(o.value) + " ]\n";
      else
        out += ".RB [ " + roff(o.name) + " ]\n";
    }
  }
  return out;
}

std::string manual_commands() {
  std::string out;
  for (const CommandHelp& c : COMMANDS) {
    auto text = [](const char* t) { return for_system(t, HelpSystem::POSIX); };
    out += ".SS " + roff(c.name) + "\n" + roff(text(c.summary)) + "\n";
    for (const OptionHelp& o : c.options) {
      bool argument = o.name[0] != '-';
      out += ".TP\n";
      if (argument)
        out += ".I " + roff(o.name) + "\n";
      else if (*o.value)
        out += ".BI " + quoted(std::string(o.name) + " ") + " " + roff(o.value) + "\n";
      else
        out += ".B " + roff(o.name) + "\n";
      out += roff(text(o.text)) + "\n";
    }
    for (const SectionHelp& s : c.sections) {
      out += ".PP\n.I " + quoted(s.title) + "\n";
      if (*s.text) out += ".br\n" + roff(text(s.text)) + "\n";
      for (const ItemHelp& item : s.items)
        out += ".TP\n.B " + quoted(item.term) + "\n" + roff(text(item.text)) + "\n";
    }
  }
  return out;
}

}  // namespace admin

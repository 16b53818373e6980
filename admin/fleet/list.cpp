#include "admin/fleet/list.h"

#include <map>
#include <set>
#include <sstream>

#include "admin/output.h"
#include "admin/text_file.h"
#include "admin/upgrade/password_file.h"
#include "frontends/common/text.h"
#include "platform/files.h"
#include "platform/secret.h"
#include "ui/ui.h"

namespace admin {

namespace {

bool has_control(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

const char EXPECTED[] = "expected ADDRESS [USER PASSWORD-FILE]";

// A line's fields, separated by blanks; a field in double quotes may hold
// blanks and '#' (a Windows path: "C:\Users\John Smith\qel.pw"). '#' outside
// quotes starts a comment. False for a quote left open.
bool split_fields(const std::string& line, std::vector<std::string>* fields) {
  fields->clear();
  std::size_t at = 0;
  for (;;) {
    at = line.find_first_not_of(" \t\r", at);
    if (at == std::string::npos || line[at] == '#') return true;
    if (line[at] == '"') {
      std::size_t end = line.find('"', at + 1);
      if (end == std::string::npos) return false;
      fields->push_back(line.substr(at + 1, end - at - 1));
      at = end + 1;
      if (at < line.size() && line.find_first_of(" \t\r#", at) != at) return false;
      continue;
    }
    std::size_t end = line.find_first_of(" \t\r#", at);
    fields->push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) return true;
    at = end;
  }
}

}  // namespace

bool read_fleet_list(const std::string& path, std::vector<FleetEntry>* entries,
                     std::vector<std::string>* errors) {
  std::string bytes, text, why;
  if (!sys::read_whole_file(path, &bytes, &why)) {
    errors->push_back("cannot read " + frontend::shown_utf8(path) + ": " +
                      frontend::shown_utf8(why));
    return false;
  }
  if (!decode_text(bytes, &text, &why)) {
    errors->push_back(frontend::shown_utf8(path) + ": " + why);
    return false;
  }
  std::set<std::uint32_t> seen;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string where = frontend::shown_utf8(path) + ":" + std::to_string(number) + ": ";
    auto bad = [&](const std::string& why) { errors->push_back(where + why); };
    std::vector<std::string> fields;
    bool quotes_closed = split_fields(line, &fields);
    if (fields.empty() && quotes_closed) continue;
    if (has_control(line.substr(0, line.find('#')))) {
      bad("a control character or NUL byte in the line");
      continue;
    }
    if (!quotes_closed) {
      bad("a quote left open, or text right after a closing quote: " + std::string(EXPECTED));
      continue;
    }
    if (fields.size() == 2) {
      bad("a user without a password file: " + std::string(EXPECTED));
      continue;
    }
    if (fields.size() > 3) {
      bad("too many fields (" + std::to_string(fields.size()) + "): " + EXPECTED);
      continue;
    }
    std::uint32_t address = 0;
    // The wizard's own check of an address, so that no upgrade fails on it.
    if (fields[0].size() >= 64 || fields[0].find_first_not_of("0123456789.") != std::string::npos ||
        parse_ip_address(fields[0].c_str(), &address) != 0 || address == 0) {
      bad("Invalid IP Address: " + frontend::shown_utf8(fields[0]));
      continue;
    }
    if (!seen.insert(address).second) {
      bad(fields[0] + " is listed twice");
      continue;
    }
    FleetEntry entry;
    entry.line = number;
    entry.address = fields[0];
    if (fields.size() == 3) {
      if (fields[1].size() > CREDENTIAL_LIMIT || !frontend::printable_ascii(fields[1])) {
        bad("the user name must be 1 to " + std::to_string(CREDENTIAL_LIMIT) +
            " printable ASCII characters");
        continue;
      }
      entry.user = fields[1];
      entry.password_file = sys::path_beside(path, fields[2]);
      std::string password, error;
      bool readable = read_password_file(entry.password_file, &password, &error);
      sys::wipe(&password);
      if (!readable) {
        bad(frontend::shown_utf8(error));
        continue;
      }
    }
    entries->push_back(entry);
  }
  if (errors->empty() && entries->empty())
    errors->push_back(frontend::shown_utf8(path) + ": no device listed");
  return errors->empty();
}

std::vector<PlannedDevice> plan_rollout(std::vector<FleetEntry> entries,
                                        const std::vector<ReportRow>& earlier) {
  // Addresses compared by value: the list may write them with leading zeros.
  auto value = [](const std::string& text) {
    std::uint32_t address = 0;
    return parse_ip_address(text.c_str(), &address) == 0 ? address : 0;
  };
  std::map<std::uint32_t, const ReportRow*> before;
  for (const ReportRow& row : earlier)
    if (std::uint32_t address = value(row.address); address != 0) before[address] = &row;
  std::vector<PlannedDevice> plan;
  std::set<std::uint32_t> listed;
  for (FleetEntry& entry : entries) {
    std::uint32_t address = value(entry.address);
    listed.insert(address);
    PlannedDevice device;
    device.entry = std::move(entry);
    auto found = before.find(address);
    if (found != before.end() && !is_retried(found->second->result)) {
      device.carried = true;
      device.row = *found->second;
    }
    plan.push_back(std::move(device));
  }
  for (const auto& [address, row] : before) {
    if (listed.count(address)) continue;
    PlannedDevice device;
    device.entry.address = row->address;
    device.carried = true;
    device.row = *row;
    plan.push_back(std::move(device));
  }
  return plan;
}

}  // namespace admin

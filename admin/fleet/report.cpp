#include "admin/fleet/report.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "admin/output.h"
#include "admin/text_file.h"
#include "frontends/common/text.h"
#include "platform/files.h"

namespace admin {

namespace {

using frontend::csv_field;
using frontend::valid_utf8;

}  // namespace

bool report_is_json(const std::string& path) {
  if (path.size() < 5) return false;
  std::string end = path.substr(path.size() - 5);
  for (char& c : end) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return end == ".json";  // as Windows names it: REPORT.JSON is JSON too
}

const char CSV_HEADER[] =
    "address,product,version_before,version_after,result,message,seconds,log,code,attempts";
// Version 2's header, without attempts: --retry still reads its reports.
const char CSV_HEADER_2[] =
    "address,product,version_before,version_after,result,message,seconds,log,code";

std::string report_csv(const std::vector<ReportRow>& rows) {
  std::string text = std::string(CSV_HEADER) + "\n";
  for (const ReportRow& r : rows)
    text += frontend::csv_field(r.address) + "," + frontend::csv_field(r.product) + "," +
            frontend::csv_field(r.version_before) + "," + frontend::csv_field(r.version_after) +
            "," + result_word(r.result) + "," + frontend::csv_field(r.message) + "," +
            seconds_text(r.seconds) + "," + frontend::csv_field(r.log) + "," +
            frontend::csv_field(code_word(r.code)) + "," + std::to_string(r.attempts) + "\n";
  return text;
}

std::string report_json(const std::vector<ReportRow>& rows) {
  using Json = nlohmann::ordered_json;
  auto text_or_null = [](const std::string& value) {
    return value.empty() ? Json(nullptr) : Json(frontend::valid_utf8(value));
  };
  Json all = Json::array();
  for (const ReportRow& r : rows) {
    Json row;
    row["address"] = frontend::valid_utf8(r.address);
    row["product"] = text_or_null(r.product);
    row["version_before"] = text_or_null(r.version_before);
    row["version_after"] = text_or_null(r.version_after);
    row["result"] = result_word(r.result);
    row["message"] = frontend::valid_utf8(r.message);
    row["seconds"] = std::round(r.seconds * 10) / 10;
    row["log"] = text_or_null(r.log);
    row["code"] = text_or_null(code_word(r.code));
    row["attempts"] = r.attempts;
    all.push_back(row);
  }
  Json report;
  report["report_version"] = REPORT_VERSION;
  report["devices"] = all;
  return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

namespace {

// One CSV line as report_csv writes it: fields separated by commas, quoted
// ones with doubled quotes inside. False for a malformed line.
bool split_csv(const std::string& line, std::vector<std::string>* fields, char separator) {
  fields->assign(1, "");
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c != '"')
        fields->back() += c;
      else if (i + 1 < line.size() && line[i + 1] == '"')
        fields->back() += line[++i];
      else
        quoted = false;
    } else if (c == '"' && fields->back().empty()) {
      quoted = true;
    } else if (c == separator) {
      fields->emplace_back();
    } else {
      fields->back() += c;
    }
  }
  return !quoted;
}

}  // namespace

bool read_report(const std::string& path, std::vector<ReportRow>* rows, std::string* error) {
  using Json = nlohmann::ordered_json;
  std::string bytes, text;
  if (std::string why; !sys::read_whole_file(path, &bytes, &why)) {
    *error = "cannot read the report " + path + ": " + why;
    return false;
  }
  auto bad = [&](const std::string& why) {
    *error = path + ": " + why;
    return false;
  };
  if (std::string why; !decode_text(bytes, &text, &why)) return bad(why);
  if (report_is_json(path)) {
    Json report = Json::parse(text, nullptr, false);
    if (report.is_discarded() || !report.is_object() || !report.contains("devices") ||
        !report["devices"].is_array())
      return bad("not a fleet report");
    auto field = [](const Json& row, const char* key) {
      auto it = row.find(key);
      return it != row.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    for (const Json& row : report["devices"]) {
      if (!row.is_object()) return bad("not a fleet report");
      ReportRow r;
      r.address = field(row, "address");
      r.product = field(row, "product");
      r.version_before = field(row, "version_before");
      r.version_after = field(row, "version_after");
      if (!parse_result(field(row, "result"), &r.result))
        return bad("device " + std::to_string(rows->size() + 1) +
                   " has no result this program "
                   "writes");
      r.message = field(row, "message");
      r.log = field(row, "log");
      if (!parse_code(field(row, "code"), &r.code))
        return bad("device " + std::to_string(rows->size() + 1) +
                   " has no code this program writes");
      if (auto it = row.find("seconds"); it != row.end() && it->is_number())
        r.seconds = it->get<double>();
      if (auto it = row.find("attempts"); it != row.end() && it->is_number_unsigned())
        r.attempts = static_cast<int>(std::min<std::uint64_t>(it->get<std::uint64_t>(), 1000000));
      rows->push_back(r);
    }
    return true;
  }
  // Each line without its end, LF or CR LF.
  auto line_at = [&](std::size_t at, std::size_t end) {
    return text.substr(at, end - at - (end > at && text[end - 1] == '\r'));
  };
  std::size_t at = 0, end = text.find('\n');
  // Excel saves CSV with semicolons where the decimal mark is a comma.
  std::string header = end == std::string::npos ? "" : line_at(0, end);
  char separator = header.find(';') != std::string::npos ? ';' : ',';
  std::replace(header.begin(), header.end(), ';', ',');
  if (header != CSV_HEADER && header != CSV_HEADER_2)
    return bad("not a fleet report (its first line is not the report's header: " +
               std::string(CSV_HEADER) + ")");
  const std::size_t columns = header == CSV_HEADER ? 10 : 9;
  int number = 1;
  for (at = end + 1; at < text.size(); at = end + 1) {
    ++number;
    end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> f;
    if (!split_csv(line_at(at, end), &f, separator) || f.size() != columns)
      return bad("line " + std::to_string(number) + " is not a report row");
    ReportRow r;
    r.address = f[0];
    r.product = f[1];
    r.version_before = f[2];
    r.version_after = f[3];
    if (!parse_result(f[4], &r.result))
      return bad("line " + std::to_string(number) + " has no result this program writes");
    r.message = f[5];
    std::replace(f[6].begin(), f[6].end(), ',', '.');  // a decimal comma
    r.seconds = std::strtod(f[6].c_str(), nullptr);
    r.log = f[7];
    if (!parse_code(f[8], &r.code))
      return bad("line " + std::to_string(number) + " has no code this program writes");
    if (columns == 10) {
      if (f[9].empty() || f[9].size() > 6 ||
          f[9].find_first_not_of("0123456789") != std::string::npos)
        return bad("line " + std::to_string(number) + " has no count of attempts");
      r.attempts = std::stoi(f[9]);
    }
    rows->push_back(r);
  }
  return true;
}

int ReportFile::make_temporary(std::string* name, std::string* error) const {
  std::string why;
  int fd = sys::make_file_beside(path_, name, &why);
  if (fd < 0) *error = "cannot write the report " + path_ + ": " + why;
  return fd;
}

bool ReportFile::open(const std::string& path, std::string* error) {
  path_ = path;
  if (path.empty()) return true;
  std::string name;
  int fd = make_temporary(&name, error);
  if (fd < 0) return false;
  sys::close_file(fd);
  sys::remove_file(name);
  if (std::string why; !sys::can_replace(path, &why)) {
    *error = "cannot replace the report " + path + ": " + why;
    return false;
  }
  return true;
}

namespace {

// office.csv -> office.new.csv (then office.new2.csv ...): where a report
// goes when its own file cannot be replaced.
std::string name_beside(const std::string& path, int attempt) {
  std::size_t slash = path.find_last_of("/\\");
  std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = path.size();
  return path.substr(0, dot) + ".new" + (attempt ? std::to_string(attempt + 1) : "") +
         path.substr(dot);
}

}  // namespace

bool ReportFile::commit(const std::vector<ReportRow>& rows, std::string* error) {
  std::string text = report_is_json(path_) ? report_json(rows) : report_csv(rows);
  if (path_.empty()) {
    bool ok = sys::write_all(1, text);  // standard output
    if (!ok) *error = std::string("cannot write the report: ") + std::strerror(errno);
    return ok;
  }
  std::string name;
  int fd = make_temporary(&name, error);
  if (fd < 0) return false;
  std::string why;
  bool ok = sys::write_all(fd, text);
  if (!ok) {
    why = std::strerror(errno);
    sys::close_file(fd);
  }
  ok = ok && sys::sync_and_close(fd, &why);
  if (ok && !sys::replace_file(name, path_, &why)) {
    // Never lost: beside its place, under a name of its own, when its own
    // file cannot be replaced (another program holds it); the same name each
    // time after the first.
    std::string held;
    bool there = !beside_.empty() && sys::replace_file(name, beside_, &held);
    for (int attempt = 0; beside_.empty() && attempt < 100; ++attempt)
      if (std::string beside = name_beside(path_, attempt); sys::move_to_new(name, beside, &held))
        beside_ = beside, there = true;
    if (there) {
      *error =
          "cannot replace the report " + path_ + " (" + why + "): it was written to " + beside_;
      return true;
    }
    ok = false;
  }
  if (!ok) {
    sys::remove_file(name);
    *error = "cannot write the report " + path_ + ": " + why;
  }
  return ok;
}

}  // namespace admin

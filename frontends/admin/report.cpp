#include "frontends/admin/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "frontends/admin/util.h"

namespace admin {

namespace {

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool report_is_json(const std::string& path) {
  return path.size() >= 5 && path.compare(path.size() - 5, 5, ".json") == 0;
}

std::string report_csv(const std::vector<ReportRow>& rows) {
  std::string text = "address,product,version_before,version_after,result,message,seconds\n";
  for (const ReportRow& r : rows)
    text += csv_field(r.address) + "," + csv_field(r.product) + "," + csv_field(r.version_before) +
            "," + csv_field(r.version_after) + "," + csv_field(r.result) + "," +
            csv_field(r.message) + "," + seconds_text(r.seconds) + "\n";
  return text;
}

std::string report_json(const std::vector<ReportRow>& rows) {
  using Json = nlohmann::ordered_json;
  auto text_or_null = [](const std::string& value) {
    return value.empty() ? Json(nullptr) : Json(valid_utf8(value));
  };
  Json all = Json::array();
  for (const ReportRow& r : rows) {
    Json row;
    row["address"] = valid_utf8(r.address);
    row["product"] = text_or_null(r.product);
    row["version_before"] = text_or_null(r.version_before);
    row["version_after"] = text_or_null(r.version_after);
    row["result"] = valid_utf8(r.result);
    row["message"] = valid_utf8(r.message);
    row["seconds"] = std::round(r.seconds * 10) / 10;
    all.push_back(row);
  }
  return all.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

ReportFile::~ReportFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

bool ReportFile::open(const std::string& path, std::string* error) {
  path_ = path;
  if (path.empty()) return true;
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string pattern = folder + (folder.back() == '/' ? "" : "/") + "." + name + ".XXXXXX";
  fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) {
    *error = "cannot write the report " + path + ": " + std::strerror(errno);
    return false;
  }
  temporary_ = pattern;
  // The permissions a file made by this user would have, not mkstemp's 0600.
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd_, 0666 & ~mask);
  return true;
}

bool ReportFile::commit(const std::vector<ReportRow>& rows, std::string* error) {
  std::string text = report_is_json(path_) ? report_json(rows) : report_csv(rows);
  if (path_.empty()) {
    bool ok = write_all(STDOUT_FILENO, text);
    if (!ok) *error = std::string("cannot write the report: ") + std::strerror(errno);
    return ok;
  }
  bool ok = fd_ >= 0 && write_all(fd_, text) && ::fsync(fd_) == 0;
  int saved = errno;
  if (fd_ >= 0 && ::close(fd_) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  fd_ = -1;
  if (ok && ::rename(temporary_.c_str(), path_.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    *error = "cannot write the report " + path_ + ": " + std::strerror(saved);
    return false;
  }
  temporary_.clear();
  return true;
}

}  // namespace admin

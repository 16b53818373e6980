// The fleet's report: one row per device, as CSV with a header line or as
// JSON, written to a temporary file beside its place and renamed there, so
// that a reader never sees half a report and an old one stays until the
// new one is whole.
#pragma once
#include <string>
#include <vector>

namespace admin {

// Texts are UTF-8, as the upgrades' JSON gave them.
struct ReportRow {
  std::string address, product, version_before, version_after, result, message;
  double seconds = 0;
};

// JSON when the name ends in ".json", else CSV.
bool report_is_json(const std::string& path);
// CSV fields are made safe to show and to open in a spreadsheet (csv_field);
// JSON keeps every value exact.
std::string report_csv(const std::vector<ReportRow>& rows);
std::string report_json(const std::vector<ReportRow>& rows);

class ReportFile {
 public:
  ReportFile() = default;
  ~ReportFile();  // an uncommitted temporary file is removed
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  // Creates the temporary file beside path ("": standard output, always
  // fine); false with *error when it cannot be written there.
  bool open(const std::string& path, std::string* error);
  // Writes the rows and puts the file in its place; false with *error.
  bool commit(const std::vector<ReportRow>& rows, std::string* error);

 private:
  std::string path_, temporary_;
  int fd_ = -1;
};

}  // namespace admin

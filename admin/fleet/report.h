// The fleet's report: one row per device, as CSV with a header line or as
// JSON, written to a temporary file beside its place and renamed there, so
// that a reader never sees half a report and an old one stays until the
// new one is whole.
#pragma once
#include <string>
#include <vector>

#include "admin/record/record.h"

namespace admin {

// A row: the device's record (address, product, version_before,
// version_after, result, message, seconds, log, code, attempts).
using ReportRow = UpgradeRecord;

// The JSON report's shape: {"report_version": REPORT_VERSION, "devices": [...]}.
// Version 3 added attempts (to CSV too, as its last column); --retry reads
// version 2 as well.
inline constexpr int REPORT_VERSION = 3;

// JSON when the name ends in ".json", else CSV.
bool report_is_json(const std::string& path);
// CSV fields are made safe to show and to open in a spreadsheet (csv_field);
// JSON keeps every value exact.
std::string report_csv(const std::vector<ReportRow>& rows);
std::string report_json(const std::vector<ReportRow>& rows);

// Reads a report this program wrote (CSV or JSON, by the name), for --retry,
// also after a spreadsheet or a Windows tool saved it (CR LF line ends, a
// UTF-8 byte-order mark), of this version or the one before (no attempts:
// 0); false with *error, also for a result no report holds or a code it
// does not write.
bool read_report(const std::string& path, std::vector<ReportRow>* rows, std::string* error);

class ReportFile {
 public:
  // Checks that a file can be made beside path and that the report's own
  // file could be replaced now ("": standard output, always fine); false
  // with *error when either cannot.
  bool open(const std::string& path, std::string* error);
  // Writes the rows to a new temporary file and renames it into place (each
  // time: a snapshot first, the final report later); false with *error.
  // When the report's own file cannot be replaced (another program holds
  // it), it goes beside it (NAME.new.EXT) and *error says where: true.
  bool commit(const std::vector<ReportRow>& rows, std::string* error);
  bool to_standard_output() const { return path_.empty(); }

 private:
  // A new temporary file beside the report; -1 with *error.
  int make_temporary(std::string* name, std::string* error) const;

  std::string path_;
  std::string beside_;  // where the report went when its own file was held
};

}  // namespace admin

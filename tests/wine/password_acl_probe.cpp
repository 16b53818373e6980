// The Windows password-file check (platform/win32/password_acl.h) against
// given security descriptors, under Wine, which keeps no access lists of
// its own: each row an owner and a list, and whether the file is refused
// and for whom. Prints a line per row; exits 1 when any row is wrong.
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <string>

#include "platform/win32/password_acl.h"

namespace {

const char ME[] = "S-1-5-21-1-2-3-1001";
const char OTHER[] = "S-1-5-21-1-2-3-1002";

struct Row {
  std::string sddl;
  const char* refused;  // what the refusal says; nullptr: accepted
};

std::string with(std::string text) {
  for (std::size_t at; (at = text.find("ME")) != std::string::npos;) text.replace(at, 2, ME);
  for (std::size_t at; (at = text.find("OTHER")) != std::string::npos;) text.replace(at, 5, OTHER);
  return text;
}

}  // namespace

int main() {
  const Row rows[] = {
      {"O:MED:P(A;;FA;;;ME)(A;;FA;;;SY)(A;;FA;;;BA)", nullptr},
      {"O:BAD:P(A;;FA;;;BA)(A;;FA;;;ME)", nullptr},
      {"O:SYD:P(A;;FA;;;SY)(A;;FR;;;ME)", nullptr},
      // Another account's file that grants only that account and the
      // administrators: its owner can read or replace the password.
      {"O:OTHERD:P(A;;FA;;;OTHER)(A;;FA;;;BA)", "belongs to S-1-5-21-1-2-3-1002"},
      {"O:MED:P(A;;FA;;;ME)(A;;FR;;;WD)", "S-1-1-0) may read or change it"},
      {"O:MED:P(A;;FA;;;ME)(A;;FA;;;OTHER)", "S-1-5-21-1-2-3-1002 may read or change it"},
      {"O:SYD:P(A;;FA;;;SY)(A;;0x1200a9;;;BU)", "S-1-5-32-545) may read or change it"},
      {"O:ME", "no access list"},
      // What does not apply to the file itself, or denies, does not count.
      {"O:MED:P(A;IO;FA;;;WD)(A;;FA;;;ME)", nullptr},
      {"O:MED:P(D;;FA;;;WD)(A;;FA;;;ME)", nullptr},
      {"O:MED:P(A;;SW;;;WD)(A;;FA;;;ME)", nullptr},
  };
  PSID me = nullptr;
  if (!ConvertStringSidToSidA(ME, &me)) {
    std::printf("password_acl: cannot make the SID %s\n", ME);
    return 2;
  }
  int wrong = 0;
  for (const Row& row : rows) {
    std::string sddl = with(row.sddl);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
      std::printf("FAIL %s: not a descriptor (%lu)\n", sddl.c_str(), GetLastError());
      ++wrong;
      continue;
    }
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    std::string refusal = sys::win32::password_file_refusal(owner, present ? dacl : nullptr, me);
    bool ok = row.refused ? refusal.find(row.refused) != std::string::npos : refusal.empty();
    std::printf("%s %s -> %s\n", ok ? "ok  " : "FAIL", sddl.c_str(),
                refusal.empty() ? "accepted" : refusal.c_str());
    wrong += !ok;
    LocalFree(descriptor);
  }
  LocalFree(me);
  return wrong ? 1 : 0;
}

// Internal to the Win32 platform (exposed for its test under Wine, which
// keeps no access lists of its own): whether a password file's owner and
// access list keep it to this user, SYSTEM and Administrators, as OpenSSH
// for Windows wants of a key.
#pragma once
#include <windows.h>
#include <sddl.h>

#include <string>

namespace sys::win32 {

// Access that lets a holder read the password or put another in its place.
constexpr ACCESS_MASK READ_OR_CHANGE = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | GENERIC_WRITE |
                                       FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC |
                                       WRITE_OWNER | MAXIMUM_ALLOWED;

inline bool is_well_known(WELL_KNOWN_SID_TYPE type, PSID sid) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof buffer;
  return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(buffer, sid);
}

// An account's name and SID ("alice (S-1-5-21-...)"), or the SID alone.
inline std::string account_text(PSID sid) {
  char* text = nullptr;
  std::string out = ConvertSidToStringSidA(sid, &text) ? text : "an unknown account";
  LocalFree(text);
  char name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  if (LookupAccountSidA(nullptr, sid, name, &name_size, domain, &domain_size, &use))
    out = std::string(name) + " (" + out + ")";
  return out;
}

// "" when the file is this user's (or SYSTEM's, or Administrators') and no
// one else may read or change it; else what is wrong, in words.
inline std::string password_file_refusal(PSID owner, PACL dacl, PSID me) {
  auto trusted = [me](PSID who) {
    return (me && EqualSid(who, me)) || is_well_known(WinLocalSystemSid, who) ||
           is_well_known(WinBuiltinAdministratorsSid, who);
  };
  if (owner && !trusted(owner))
    return "it belongs to " + account_text(owner) + ", not to this user, SYSTEM or Administrators";
  if (dacl == nullptr) return "it has no access list: everyone may read and change it";
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) continue;
    auto* header = static_cast<ACE_HEADER*>(entry);
    // Only what applies to the file itself, and only what allows.
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if (!(allowed->Mask & READ_OR_CHANGE)) continue;
    PSID who = &allowed->SidStart;
    // The owner's own entry counts as the owner: trusted, as checked above.
    if (trusted(who) || (owner && EqualSid(who, owner))) continue;
    return account_text(who) + " may read or change it";
  }
  return "";
}

}  // namespace sys::win32

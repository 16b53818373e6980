// Passwords on Windows (secret.h).
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "platform/secret.h"
#include "platform/win32/console_events.h"
#include "platform/win32/wide.h"

namespace sys {

using win32::error_text;
using win32::to_utf8;
using win32::to_wide;

void wipe_bytes(void* bytes, std::size_t size) {
  if (size != 0) SecureZeroMemory(bytes, size);
}

void wipe(std::string* text) {
  wipe_bytes(text->data(), text->size());
  text->clear();
}

// No crash dialog, so no error report with the process's memory is offered
// to be sent. A debugger of the same user cannot be kept out on Windows.
void make_undumpable() {
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

namespace {

// Access that lets a holder read the password or put another in its place.
constexpr ACCESS_MASK READ_OR_CHANGE = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | GENERIC_WRITE |
                                       FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC |
                                       WRITE_OWNER | MAXIMUM_ALLOWED;

std::string sid_text(PSID sid) {
  char* text = nullptr;
  std::string out = ConvertSidToStringSidA(sid, &text) ? text : "an unknown account";
  LocalFree(text);
  wchar_t name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use))
    out = to_utf8(name) + " (" + out + ")";
  return out;
}

bool well_known(WELL_KNOWN_SID_TYPE type, PSID sid) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof buffer;
  return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(buffer, sid);
}

// The account other than the owner, SYSTEM and Administrators that the
// access list lets read or change the file, or "" when there is none;
// "everyone" for a missing list (no list grants everything to all).
std::string others_with_access(HANDLE file, std::string* error) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD status =
      GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &dacl, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    *error = error_text(status);
    return "";
  }
  std::unique_ptr<void, decltype(&LocalFree)> keep(descriptor, &LocalFree);
  if (dacl == nullptr) return "everyone (the file has no access list)";
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
    if ((owner && EqualSid(who, owner)) || well_known(WinLocalSystemSid, who) ||
        well_known(WinBuiltinAdministratorsSid, who))
      continue;
    return sid_text(who);
  }
  return "";
}

}  // namespace

SecretSource::~SecretSource() {
  if (handle_ != -1 && !standard_input_) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool SecretSource::open(const std::string& path, std::string* error) {
  standard_input_ = path == "-";
  HANDLE handle = standard_input_ ? GetStdHandle(STD_INPUT_HANDLE)
                                  : CreateFileW(to_wide(path).c_str(), GENERIC_READ | READ_CONTROL,
                                                FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    *error = "cannot read the password file " + path + ": " + error_text(GetLastError());
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  if (win32::is_console(handle)) {
    // Read here, a typed password would show on the screen. The prompt the
    // program has already asks without echo, only when the device wants a
    // password, again when it is refused, and Ctrl-C cancels it.
    *error = (standard_input_ ? std::string("--password-file - reads standard input, which is a "
                                            "console")
                              : "the password file " + path + " is a console") +
             ": what is typed there would be shown; leave --password-file out and type the "
             "password when asked (without echo)";
    return false;
  }
  if (standard_input_ || GetFileType(handle) != FILE_TYPE_DISK) return true;
  // The list of the file as opened, so no other file can be put in its
  // place between the check and the read.
  std::string failure;
  std::string others = others_with_access(handle, &failure);
  if (!failure.empty()) {
    *error = "cannot read the access list of the password file " + path + ": " + failure;
    return false;
  }
  if (!others.empty()) {
    *error = "the password file " + path +
             " may be read or changed by others than its owner, SYSTEM and Administrators (" +
             others + "): make it private, e.g. icacls \"" + path +
             "\" /inheritance:r /grant:r \"%USERNAME%\":F";
    return false;
  }
  return true;
}

int SecretSource::read_byte(char* c, std::string* error) {
  DWORD got = 0;
  if (ReadFile(reinterpret_cast<HANDLE>(handle_), c, 1, &got, nullptr)) return got == 1 ? 1 : 0;
  DWORD code = GetLastError();
  if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return 0;
  *error = error_text(code);
  return -1;
}

}  // namespace sys

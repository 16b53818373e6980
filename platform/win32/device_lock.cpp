// The device lock on Windows (device_lock.h): a file per device in
// %ProgramData%\QEL Upgrade\devices, a folder the package makes with an
// access list for SYSTEM and Administrators alone (an administrator may
// grant others the right to add files there). The holder opens its file
// without sharing it for writing and with delete-on-close, so the file
// exists only while a run holds it, and the system closes it however the
// run ends. Whoever may not add files there can neither take, fill nor hold
// a device's lock; a name in the object namespace (which any process may
// take first) plays no part.
//
// The holder writes its pid, user and command line into the file for the
// others to read: they are what it says of itself.
//
// Without that folder and the right to make it (a build tree, no package,
// not an administrator), the lock lives in this user's own application
// data and keeps this user's runs apart only; the run says so.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "platform/device_lock.h"
#include "platform/win32/wide.h"

namespace sys {

namespace {

using win32::error_text;
using win32::to_utf8;
using win32::to_wide;

std::string dotted(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255,
                (address >> 8) & 255, address & 255);
  return text;
}

std::wstring known_folder(int which) {
  wchar_t path[MAX_PATH];
  if (SHGetFolderPathW(nullptr, which, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return L"";
  return path;
}

std::wstring system_folder() {
  std::wstring data = known_folder(CSIDL_COMMON_APPDATA);
  return data.empty() ? L"" : data + L"\\QEL Upgrade\\devices";
}

bool is_elevated() {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof buffer;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, buffer, &size) &&
         CheckTokenMembership(nullptr, buffer, &member) && member;
}

bool well_known(WELL_KNOWN_SID_TYPE type, PSID sid) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof buffer;
  return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(buffer, sid);
}

// Makes each missing folder of path (a folder of the system's: SYSTEM and
// Administrators alone, nothing inherited).
bool make_folders(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  std::size_t parent = path.rfind(L'\\');
  bool ok = true;
  if (parent != std::wstring::npos &&
      GetFileAttributesW(path.substr(0, parent).c_str()) == INVALID_FILE_ATTRIBUTES)
    ok = CreateDirectoryW(path.substr(0, parent).c_str(), &attributes) ||
         GetLastError() == ERROR_ALREADY_EXISTS;
  ok =
      ok && (CreateDirectoryW(path.c_str(), &attributes) || GetLastError() == ERROR_ALREADY_EXISTS);
  LocalFree(descriptor);
  return ok;
}

// "" when the folder is fit to hold the locks: a real folder (no link),
// owned by SYSTEM, Administrators or an administrator running this.
std::string judge_folder(const std::wstring& path) {
  HANDLE folder =
      CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return error_text(GetLastError());
  std::string verdict;
  BY_HANDLE_FILE_INFORMATION about{};
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!GetFileInformationByHandle(folder, &about)) {
    verdict = error_text(GetLastError());
  } else if (!(about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
             (about.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    verdict = "it is not a plain folder (a link, or a file)";
  } else if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                             nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
             owner && !well_known(WinLocalSystemSid, owner) &&
             !well_known(WinBuiltinAdministratorsSid, owner) && !is_elevated()) {
    verdict = "it belongs to an account that is not SYSTEM or Administrators";
  }
  if (descriptor) LocalFree(descriptor);
  CloseHandle(folder);
  return verdict;
}

std::string read_holder(const std::wstring& file, LockHolder* holder) {
  HANDLE h = CreateFileW(file.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "";
  char buffer[1024];
  DWORD got = 0;
  std::string text;
  if (ReadFile(h, buffer, sizeof buffer, &got, nullptr)) text.assign(buffer, got);
  CloseHandle(h);
  // "PID\nUSER\nCOMMAND\n", as take writes it.
  std::size_t first = text.find('\n'), second = text.find('\n', first + 1);
  if (first == std::string::npos || second == std::string::npos) return "";
  holder->pid = std::strtol(text.substr(0, first).c_str(), nullptr, 10);
  holder->user = text.substr(first + 1, second - first - 1);
  std::string command = text.substr(second + 1);
  while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) command.pop_back();
  holder->command = command;
  return text;
}

std::string own_user() {
  wchar_t name[256];
  DWORD size = 256;
  return GetUserNameW(name, &size) ? to_utf8(name) : "";
}

}  // namespace

const char* device_lock_folder() {
  static const std::string folder = to_utf8(system_folder());
  return folder.c_str();
}

DeviceLock::~DeviceLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

DeviceLock::State DeviceLock::take(std::uint32_t device, LockHolder* holder, std::string* error) {
  std::wstring folder = system_folder();
  if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES && is_elevated())
    make_folders(folder);
  if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
    std::wstring own = known_folder(CSIDL_LOCAL_APPDATA);
    folder = own.empty() ? L"" : own + L"\\QEL Upgrade\\devices";
    if (folder.empty() || !make_folders(folder)) {
      *error = "no folder for the device locks: " + error_text(GetLastError());
      return FAILED;
    }
    note_ = "there is no lock folder of the system's (" + to_utf8(system_folder()) +
            ") for this run: it keeps only this user's runs from the device (the package makes "
            "the folder, as does a run as an administrator)";
  }
  if (std::string verdict = judge_folder(folder); !verdict.empty()) {
    *error = "the lock folder " + to_utf8(folder) + " cannot be used: " + verdict;
    return FAILED;
  }
  std::wstring file = folder + L"\\" + to_wide(dotted(device)) + L".lock";
  for (int attempt = 0; attempt < 20; ++attempt) {
    // Not shared for writing: a second run's open fails while this one
    // holds it; deleted when its last handle closes, however the run ends.
    HANDLE h = CreateFileW(
        file.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      BY_HANDLE_FILE_INFORMATION about{};
      if (!GetFileInformationByHandle(h, &about) ||
          (about.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || about.nNumberOfLinks != 1) {
        CloseHandle(h);
        *error = to_utf8(file) + " is not a plain file with one name";
        return FAILED;
      }
      std::string me = std::to_string(GetCurrentProcessId()) + "\n" + own_user() + "\n" +
                       to_utf8(GetCommandLineW()) + "\n";
      DWORD written = 0;
      SetEndOfFile(h);
      WriteFile(h, me.data(), static_cast<DWORD>(me.size()), &written, nullptr);
      FlushFileBuffers(h);
      handle_ = reinterpret_cast<std::intptr_t>(h);
      return HELD;
    }
    DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED &&
        GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetLastError() == ERROR_FILE_NOT_FOUND) {
      *error = "may not add a lock file to " + to_utf8(folder) + " (" + error_text(code) +
               "): run it as an administrator, or have one grant this account the right to add "
               "files there";
      return FAILED;
    }
    if (code != ERROR_SHARING_VIOLATION && code != ERROR_ACCESS_DENIED) {
      *error = "cannot open " + to_utf8(file) + ": " + error_text(code);
      return FAILED;
    }
    // Held, or its holder just ended and it is being deleted: look again.
    LockHolder found;
    if (code == ERROR_SHARING_VIOLATION && !read_holder(file, &found).empty()) {
      found.same_user = found.user == own_user();
      *holder = found;
      return BUSY;
    }
    Sleep(50);
  }
  *holder = LockHolder{};
  return BUSY;
}

}  // namespace sys

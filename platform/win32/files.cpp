// The command line's files on Windows (files.h). The log folder is held open (without leave
// to delete or rename it) from its checks to the fleet's end, and each log
// is opened in it by the folder's own path; a link (any reparse point) is
// opened as itself, never followed, and refused, as POSIX refuses symbolic
// links. A report is written to a file made exclusively beside it and then
// moved over it.
#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/win32/wide.h"

namespace sys {

namespace {

using win32::error_text;

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// This process's user, as the owner a file of its own has.
const std::vector<BYTE>& own_user() {
  static std::vector<BYTE> sid = [] {
    std::vector<BYTE> out;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return out;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size > 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
      PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
      out.assign(static_cast<BYTE*>(user), static_cast<BYTE*>(user) + ::GetLengthSid(user));
    }
    ::CloseHandle(token);
    return out;
  }();
  return sid;
}

bool is_own_user(PSID sid) {
  const std::vector<BYTE>& user = own_user();
  return !user.empty() && ::EqualSid(sid, const_cast<BYTE*>(user.data()));
}

// The system's and the administrators' (the counterparts of root).
bool is_system_or_administrators(PSID sid) {
  return ::IsWellKnownSid(sid, WinLocalSystemSid) ||
         ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

struct Security {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ~Security() {
    if (descriptor) ::LocalFree(descriptor);
  }
  bool read(HANDLE h) {
    return ::GetSecurityInfo(h, SE_FILE_OBJECT,
                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                             nullptr, &dacl, nullptr, &descriptor) == ERROR_SUCCESS;
  }
};

// Whether anyone but this user, the system and the administrators may add,
// remove or rename files in the folder, or change who may.
bool others_may_write(const Security& security) {
  if (!security.dacl) return true;  // no list at all: everyone may do anything
  const DWORD writes = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | GENERIC_WRITE |
                       GENERIC_ALL | WRITE_DAC | WRITE_OWNER | DELETE;
  for (DWORD i = 0; i < security.dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!::GetAce(security.dacl, i, &entry)) continue;
    auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
      continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID who = &allowed->SidStart;
    if ((allowed->Mask & writes) && !is_own_user(who) && !is_system_or_administrators(who))
      return true;
  }
  return false;
}

// A new folder or file open to this user, the system and the administrators only
// (the counterpart of 0700 and 0600).
struct OwnOnly {
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  explicit OwnOnly(bool folder) {
    const std::vector<BYTE>& user = own_user();
    wchar_t* user_text = nullptr;
    if (user.empty() || !::ConvertSidToStringSidW(const_cast<BYTE*>(user.data()), &user_text))
      return;
    std::wstring inherit = folder ? L"OICI" : L"";
    std::wstring sddl = L"D:P(A;" + inherit + L";FA;;;" + user_text + L")(A;" + inherit +
                        L";FA;;;SY)(A;" + inherit + L";FA;;;BA)";
    ::LocalFree(user_text);
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        sddl.c_str(), SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr);
  }
  ~OwnOnly() {
    if (attributes.lpSecurityDescriptor) ::LocalFree(attributes.lpSecurityDescriptor);
  }
  SECURITY_ATTRIBUTES* get() { return attributes.lpSecurityDescriptor ? &attributes : nullptr; }
};

int to_descriptor(HANDLE h, int flags, std::string* error) {
  int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
  if (fd < 0) {
    *error = "out of file descriptors";
    ::CloseHandle(h);
  }
  return fd;
}

}  // namespace

int open_log_folder(const std::string& path, std::string* error) {
  const std::string& shown = path;
  std::wstring wide = win32::to_wide(path);
  OwnOnly own(true);
  if (!::CreateDirectoryW(wide.c_str(), own.get()) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    *error = "cannot make " + shown + ": " + error_text(::GetLastError());
    return -1;
  }
  // Held without leave to delete or rename it, so it stays the folder checked.
  HANDLE h = ::CreateFileW(wide.c_str(), FILE_LIST_DIRECTORY | READ_CONTROL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "cannot open the log folder " + shown + ": " + error_text(::GetLastError());
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION about{};
  Security security;
  if (!::GetFileInformationByHandle(h, &about) || !security.read(h)) {
    *error = "cannot open the log folder " + shown + ": " + error_text(::GetLastError());
  } else if (about.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    *error =
        "the log folder " + shown + " is a link (a reparse point): choose a folder of your own";
  } else if (!(about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *error = "cannot open the log folder " + shown + ": it is not a folder";
  } else if (!is_own_user(security.owner) && !is_system_or_administrators(security.owner)) {
    *error = "the log folder " + shown + " belongs to another user: choose a folder of your own";
  } else if (others_may_write(security)) {
    *error = "others may write to the log folder " + shown +
             ": choose a folder of your own, or take their write access away";
  } else {
    return to_descriptor(h, _O_RDONLY, error);
  }
  ::CloseHandle(h);
  return -1;
}

int open_log(int folder, const std::string& name, std::string* error) {
  // The folder's path as the open handle has it, not as it was typed.
  wchar_t path[32768];
  DWORD n = ::GetFinalPathNameByHandleW(handle_of(folder), path, 32768,
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  std::wstring wide_name = win32::to_wide(name);
  if (n == 0 || n >= 32768) {
    *error = error_text(::GetLastError());
    return -1;
  }
  std::wstring full = std::wstring(path, n) + L"\\" + wide_name;
  OwnOnly own(false);
  // Shared for writing: two fleets of this user that upgrade one device
  // append to its one log, as on Linux. Opened for appending alone, every
  // write lands at the end, whoever else writes.
  HANDLE h = ::CreateFileW(full.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, own.get(), OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = error_text(::GetLastError());
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION about{};
  Security security;
  if (!::GetFileInformationByHandle(h, &about) || !security.read(h)) {
    *error = error_text(::GetLastError());
  } else if (about.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    *error = "it is a link (a reparse point)";
  } else if ((about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
             ::GetFileType(h) != FILE_TYPE_DISK) {
    *error = "it is not a regular file";
  } else if (!is_own_user(security.owner)) {
    *error = "it belongs to another user";
  } else if (about.nNumberOfLinks != 1) {
    // A hard link to a file elsewhere would be written through.
    *error = "it has other names (hard links)";
  } else {
    return to_descriptor(h, _O_APPEND | _O_WRONLY, error);
  }
  ::CloseHandle(h);
  return -1;
}

bool write_all(int fd, const std::string& text) {
  if (fd == 1) {
    // Standard output may be a console: the program's one writer knows it.
    write_text(Stream::Output, text);
    return true;
  }
  HANDLE h = handle_of(fd);
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD n = 0;
    if (!::WriteFile(h, text.data() + done, static_cast<DWORD>(text.size() - done), &n, nullptr) ||
        n == 0) {
      errno = EIO;
      return false;
    }
    done += n;
  }
  return true;
}

void close_file(int fd) { ::_close(fd); }

bool read_whole_file(const std::string& path, std::string* text, std::string* error) {
  std::wstring wide = win32::to_wide(path);
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = error_text(::GetLastError());
    return false;
  }
  char chunk[65536];
  DWORD n = 0;
  while (::ReadFile(h, chunk, sizeof chunk, &n, nullptr) && n > 0) text->append(chunk, n);
  ::CloseHandle(h);
  return true;
}

int make_file_beside(const std::string& path, std::string* name, std::string* error) {
  std::size_t slash = path.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (folder.back() != '/' && folder.back() != '\\') folder += '\\';
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%06lx",
                  (::GetCurrentProcessId() * 7919UL + ::GetTickCount() + ++counter) & 0xFFFFFF);
    *name = folder + "." + base + suffix;
    std::wstring wide = win32::to_wide(*name);
    // CREATE_NEW: made now, by this call, or not at all.
    HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) return to_descriptor(h, _O_WRONLY, error);
    if (::GetLastError() != ERROR_FILE_EXISTS) {
      *error = error_text(::GetLastError());
      return -1;
    }
  }
  *error = "no free name for a temporary file";
  return -1;
}

bool sync_and_close(int fd, std::string* error) {
  bool ok = ::FlushFileBuffers(handle_of(fd)) != 0;
  if (!ok) *error = error_text(::GetLastError());
  ::_close(fd);
  return ok;
}

bool replace_file(const std::string& from, const std::string& to, std::string* error) {
  std::wstring wide_from = win32::to_wide(from), wide_to = win32::to_wide(to);
  if (::MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  *error = error_text(::GetLastError());
  return false;
}

void remove_file(const std::string& name) { ::DeleteFileW(win32::to_wide(name).c_str()); }

std::string path_beside(const std::string& file, const std::string& written) {
  auto separator = [](char c) { return c == '/' || c == '\\'; };
  bool drive =
      written.size() >= 2 && written[1] == ':' &&
      ((written[0] >= 'A' && written[0] <= 'Z') || (written[0] >= 'a' && written[0] <= 'z'));
  if (drive || (!written.empty() && separator(written[0]))) return written;
  std::size_t end = file.find_last_of("/\\");
  // Always with a folder, as on POSIX: a file named "-" is that file, never
  // standard input.
  if (end == std::string::npos) return ".\\" + written;
  return file.substr(0, end + 1) + written;
}

bool move_to_new(const std::string& from, const std::string& to, std::string* error) {
  if (::MoveFileExW(win32::to_wide(from).c_str(), win32::to_wide(to).c_str(),
                    MOVEFILE_WRITE_THROUGH))
    return true;
  *error = error_text(::GetLastError());
  return false;
}

bool can_replace(const std::string& path, std::string* error) {
  HANDLE h = ::CreateFileW(win32::to_wide(path).c_str(), DELETE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    ::CloseHandle(h);
    return true;
  }
  DWORD code = ::GetLastError();
  if (code == ERROR_FILE_NOT_FOUND) return true;
  *error = error_text(code);
  if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
    *error += " (another program has it open: close it there)";
  return false;
}

std::string path_in(const std::string& folder, const std::string& name) {
  bool ends =
      !folder.empty() && (folder.back() == '\\' || folder.back() == '/' || folder.back() == ':');
  return folder.empty() || ends ? folder + name : folder + "\\" + name;
}

std::tm local_time(std::time_t when) {
  std::tm local{};
  ::localtime_s(&local, &when);
  return local;
}

}  // namespace sys

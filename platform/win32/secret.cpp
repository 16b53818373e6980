// Passwords on Windows (secret.h).
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "platform/secret.h"
#include "platform/win32/console_events.h"
#include "platform/win32/password_acl.h"
#include "platform/win32/wide.h"

namespace sys {

using win32::error_text;
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

// This process's user, as a SID in *buffer; nullptr when unknown.
PSID own_user(std::unique_ptr<BYTE[]>* buffer) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  buffer->reset(new BYTE[size ? size : 1]);
  bool ok = size && GetTokenInformation(token, TokenUser, buffer->get(), size, &size);
  CloseHandle(token);
  return ok ? reinterpret_cast<TOKEN_USER*>(buffer->get())->User.Sid : nullptr;
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
  // The owner and list of the file as opened, so no other file can be put
  // in its place between the check and the read.
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD status = GetSecurityInfo(handle, SE_FILE_OBJECT,
                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                 nullptr, &dacl, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    *error = "cannot read the access list of the password file " + path + ": " + error_text(status);
    return false;
  }
  std::unique_ptr<void, decltype(&LocalFree)> keep(descriptor, &LocalFree);
  std::unique_ptr<BYTE[]> me_buffer;
  std::string refusal = win32::password_file_refusal(owner, dacl, own_user(&me_buffer));
  if (!refusal.empty()) {
    *error = "the password file " + path + " is not private: " + refusal +
             "; make it yours alone, e.g. takeown /f \"" + path + "\" && icacls \"" + path +
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

// UTF-8 and Windows' UTF-16, and Windows' error texts, for the fleet's
// Windows files.
#pragma once
#include <windows.h>

#include <string>

namespace admin::win32 {

// False for bytes that are not UTF-8.
inline bool widen(const std::string& utf8, std::wstring* wide) {
  wide->clear();
  if (utf8.empty()) return true;
  int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                   static_cast<int>(utf8.size()), nullptr, 0);
  if (size <= 0) return false;
  wide->resize(static_cast<std::size_t>(size));
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                        wide->data(), size);
  return true;
}

inline std::string narrow(const wchar_t* wide, int length) {
  int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, wide, length, out.data(), size, nullptr, nullptr);
  return out;
}

inline std::string error_text(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n > 0 ? narrow(text, static_cast<int>(n)) : "";
  if (text) ::LocalFree(text);
  while (!out.empty() &&
         (out.back() == '\n' || out.back() == '\r' || out.back() == '.' || out.back() == ' '))
    out.pop_back();
  return out.empty() ? "error " + std::to_string(code) : out;
}

}  // namespace admin::win32

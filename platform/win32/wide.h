// Internal to the Win32 platform: UTF-8 and Windows' UTF-16, and the
// system's words for an error. One rule for bad input both ways, Windows'
// own: bytes that are not UTF-8, and lone surrogates, become U+FFFD (a path
// holding such bytes names no file a user could have made).
#pragma once
#include <windows.h>

#include <string>

namespace sys::win32 {

inline std::wstring to_wide(const std::string& utf8) {
  if (utf8.empty()) return L"";
  int size =
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0)
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                          size);
  return wide;
}

// length < 0: up to the terminator.
inline std::string to_utf8(const wchar_t* wide, int length = -1) {
  if (length == 0) return "";
  int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, wide, length, out.data(), size, nullptr, nullptr);
  if (length < 0 && !out.empty()) out.pop_back();  // the terminator
  return out;
}

inline std::string to_utf8(const std::wstring& wide) {
  return to_utf8(wide.data(), static_cast<int>(wide.size()));
}

// On one line, without the closing full stop.
inline std::string error_text(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n > 0 ? to_utf8(text, static_cast<int>(n)) : "";
  if (text) ::LocalFree(text);
  while (!out.empty() &&
         (out.back() == '\n' || out.back() == '\r' || out.back() == '.' || out.back() == ' '))
    out.pop_back();
  return out.empty() ? "error " + std::to_string(code) : out;
}

}  // namespace sys::win32

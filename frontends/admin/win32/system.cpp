// The command line's system side on Windows (system.h), for the console
// program qel-upgrade-cli.exe.
#include <winsock2.h>
#include <ws2tcpip.h>
// After the socket headers, which must come before windows.h.
#include <windows.h>
#include <aclapi.h>
#include <iphlpapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "frontends/admin/child_process.h"
#include "frontends/admin/system.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace admin {

namespace {

HANDLE handle_of(Stream stream) {
  return GetStdHandle(stream == Stream::Input    ? STD_INPUT_HANDLE
                      : stream == Stream::Output ? STD_OUTPUT_HANDLE
                                                 : STD_ERROR_HANDLE);
}

bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return L"";
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), n);
  return text;
}

std::string narrow(const wchar_t* text, int length = -1) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return "";
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
  if (length < 0 && !out.empty()) out.pop_back();  // the terminator
  return out;
}

// The system's words for an error, as UTF-8, on one line.
std::string error_text(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = n > 0 ? narrow(buffer, static_cast<int>(n)) : "";
  LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : text;
}

std::mutex write_lock;

// Set by cancel_reads and by Ctrl-C; a pipe read waits on it.
HANDLE wake_event() {
  static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}
std::atomic<bool> cancelled{false};

std::mutex console_lock;
bool console_changed = false;
DWORD console_saved = 0;

// Ctrl-C and its kin, taken by the interrupt thread.
HANDLE interrupt_event() {
  static HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return event;
}

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      SetEvent(interrupt_event());
      return TRUE;
    default:
      return FALSE;
  }
}

void start_sockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

}  // namespace

// Windows hands a process no numbered descriptors that a file opened later
// could take the place of: nothing to do.
void ensure_standard_descriptors() {}

void write_text(Stream stream, const std::string& utf8) {
  if (utf8.empty()) return;
  std::lock_guard lock(write_lock);
  HANDLE handle = handle_of(stream);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  if (is_console(handle)) {
    // The console takes UTF-16: never the C runtime's code page.
    std::wstring text = wide(utf8);
    std::size_t done = 0;
    while (done < text.size()) {
      DWORD written = 0;
      DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 8192));
      if (!WriteConsoleW(handle, text.data() + done, chunk, &written, nullptr) || written == 0)
        return;
      done += written;
    }
    return;
  }
  std::size_t done = 0;
  while (done < utf8.size()) {
    DWORD written = 0;
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(utf8.size() - done, 1 << 20));
    if (!WriteFile(handle, utf8.data() + done, chunk, &written, nullptr) || written == 0)
      return;  // a reader gone away: the run goes on
    done += written;
  }
}

bool is_terminal(Stream stream) { return is_console(handle_of(stream)); }

bool can_redraw(Stream stream) {
  HANDLE handle = handle_of(stream);
  DWORD mode = 0;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
    return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  // Older consoles refuse it: then plain lines, no cursor controls.
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int terminal_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(handle_of(Stream::Error), &info)) {
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 20) return columns;
  }
  return 80;
}

std::string self_path() {
  wchar_t path[MAX_PATH * 4];
  DWORD n = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  if (n == 0 || n >= std::size(path)) return "qel-upgrade";
  return narrow(path, static_cast<int>(n));
}

std::string path_beside(const std::string& file, const std::string& written) {
  auto separator = [](char c) { return c == '/' || c == '\\'; };
  bool drive =
      written.size() >= 2 && written[1] == ':' &&
      ((written[0] >= 'A' && written[0] <= 'Z') || (written[0] >= 'a' && written[0] <= 'z'));
  if (drive || (!written.empty() && separator(written[0]))) return written;
  std::size_t end = file.find_last_of("/\\");
  if (end == std::string::npos) return written;  // the list is in the current folder
  return file.substr(0, end + 1) + written;
}

void cancel_reads() {
  cancelled = true;
  SetEvent(wake_event());
  // A console read in progress ends too.
  CancelIoEx(handle_of(Stream::Input), nullptr);
}

bool reads_cancelled() { return cancelled.load(); }

void restore_terminal() {
  std::lock_guard lock(console_lock);
  if (!console_changed) return;
  SetConsoleMode(handle_of(Stream::Input), console_saved);
  console_changed = false;
}

bool read_line_cancellable(std::string* line, bool echo) {
  line->clear();
  if (cancelled) return false;
  HANDLE input = handle_of(Stream::Input);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
  bool ok = false;
  if (is_console(input)) {
    if (!echo) {
      std::lock_guard lock(console_lock);
      if (!GetConsoleMode(input, &console_saved)) return false;
      // Line input stays (it is what makes the console hand over a line);
      // only the echo goes.
      if (!SetConsoleMode(input, console_saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)))
        return false;
      console_changed = true;
    }
    std::wstring typed;
    for (;;) {
      wchar_t chunk[128];
      DWORD got = 0;
      if (!ReadConsoleW(input, chunk, static_cast<DWORD>(std::size(chunk)), &got, nullptr) ||
          got == 0 || cancelled)
        break;  // Ctrl-C ends a console read with nothing
      typed.append(chunk, got);
      if (std::size_t end = typed.find(L'\n'); end != std::wstring::npos) {
        typed.resize(end);
        ok = true;
        break;
      }
    }
    if (!typed.empty() && typed.back() == L'\r') typed.pop_back();
    *line = narrow(typed.c_str());
    SecureZeroMemory(typed.data(), typed.size() * sizeof(wchar_t));
    if (!echo) {
      restore_terminal();
      // The line end the echo did not show (a terminal's ECHONL on POSIX).
      if (ok) write_text(Stream::Error, "\n");
    }
    return ok && !cancelled;
  }
  const bool pipe = GetFileType(input) == FILE_TYPE_PIPE;
  for (;;) {
    if (cancelled) break;
    if (pipe) {
      // A pipe read cannot be woken: look before reading, and wait on the
      // cancel in between.
      DWORD available = 0;
      if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
        ok = !line->empty();  // the writer is gone: the end
        break;
      }
      if (available == 0) {
        WaitForSingleObject(wake_event(), 20);
        continue;
      }
    }
    char c;
    DWORD got = 0;
    if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0) {
      ok = !line->empty();  // a last line without its end still counts
      break;
    }
    if (c == '\n') {
      ok = true;
      break;
    }
    *line += c;
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return ok && !cancelled;
}

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
    out = narrow(name) + " (" + out + ")";
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
  HANDLE handle = standard_input_ ? handle_of(Stream::Input)
                                  : CreateFileW(wide(path).c_str(), GENERIC_READ | READ_CONTROL,
                                                FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    *error = "cannot read the password file " + path + ": " + error_text(GetLastError());
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  if (is_console(handle)) {
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

std::vector<Subnet> interface_subnets() {
  std::vector<Subnet> found;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG status = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && status == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    status = GetAdaptersAddresses(
        AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
        nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (status != NO_ERROR) return found;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp) continue;
    for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u; u = u->Next) {
      const SOCKADDR* address = u->Address.lpSockaddr;
      if (!address || address->sa_family != AF_INET) continue;
      Subnet s;
      s.interface_name = a->FriendlyName ? narrow(a->FriendlyName) : std::string(a->AdapterName);
      s.address = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
      s.prefix = std::min<int>(32, u->OnLinkPrefixLength);
      s.loopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK || (s.address >> 24) == 127;
      if (s.address != 0) found.push_back(s);
    }
  }
  return found;
}

ProbeSocket probe_connect(std::uint32_t address, std::uint16_t port, bool* connected) {
  start_sockets();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return NO_PROBE;
  u_long nonblocking = 1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  if (ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
    closesocket(s);
    return NO_PROBE;
  }
  int r = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (r != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
    closesocket(s);
    return NO_PROBE;
  }
  *connected = r == 0;
  return static_cast<ProbeSocket>(s);
}

bool probe_connected(ProbeSocket socket) {
  int error = 0;
  int length = sizeof error;
  return getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_ERROR,
                    reinterpret_cast<char*>(&error), &length) == 0 &&
         error == 0;
}

long probe_send(ProbeSocket socket, const char* data, std::size_t size) {
  return ::send(static_cast<SOCKET>(socket), data, static_cast<int>(size), 0);
}

long probe_receive(ProbeSocket socket, char* data, std::size_t size) {
  int n = ::recv(static_cast<SOCKET>(socket), data, static_cast<int>(size), 0);
  if (n >= 0) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? -2 : -1;
}

void probe_close(ProbeSocket socket) { closesocket(static_cast<SOCKET>(socket)); }

bool probe_wait(std::vector<ProbeWait>* waits, int timeout_ms) {
  std::vector<WSAPOLLFD> fds;
  fds.reserve(waits->size());
  for (const ProbeWait& w : *waits) {
    WSAPOLLFD fd{};
    fd.fd = static_cast<SOCKET>(w.socket);
    fd.events = w.writable ? POLLWRNORM : POLLRDNORM;
    fds.push_back(fd);
  }
  if (fds.empty()) {
    Sleep(static_cast<DWORD>(timeout_ms));
    return true;
  }
  // A failed connection shows as an error or a hang-up; on systems that
  // never report one, the probe's deadline ends it.
  if (WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms) == SOCKET_ERROR) return false;
  for (std::size_t i = 0; i < fds.size(); ++i) (*waits)[i].ready = fds[i].revents != 0;
  return true;
}

// Sockets are not counted against a small per-process limit here.
long probe_capacity(long wanted) { return wanted; }

void catch_interrupts() {
  interrupt_event();
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool wait_interrupt(int timeout_ms) {
  return WaitForSingleObject(interrupt_event(), static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0;
}

// The fleet's children end with the fleet through its job object; its
// Cancel, and its end, come through standard input (child_process.h) and
// count as a Ctrl-C here.
bool tie_to_parent() {
  watch_fleet([] { SetEvent(interrupt_event()); });
  return true;
}

void end_process(int code) { ExitProcess(static_cast<UINT>(code)); }

}  // namespace admin

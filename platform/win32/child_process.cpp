// A fleet's child on Windows: created suspended, put in the fleet's one job
// object, which ends every child when the fleet's last handle to it closes
// (however the fleet ends), then resumed. It has no console (Ctrl-C reaches
// the fleet only, which decides); its standard output and error are pipes
// to the fleet, and its standard input is the fleet's cancel channel: each
// byte is one Cancel, its end means the fleet is gone (watch_fleet). Console
// events cannot single out one child, so they are not used for it.
#include "platform/child_process.h"
#include "platform/thread.h"
#include "platform/win32/console_events.h"
#include "platform/win32/wide.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <system_error>
#include <thread>

namespace sys {

void (*fleet_child_test_pause)() = nullptr;

namespace {

// TerminateProcess's exit code for a child the fleet ended; it is reported
// as ended by the fleet, not as this number.
constexpr UINT KILLED_CODE = 0xFEED;

// One argument as the C runtime's parser reads it back: quoted when it holds
// a blank or a quote (or is empty), a quote escaped, and backslashes doubled
// only where they come before a quote.
void append_argument(const std::wstring& arg, std::wstring* line) {
  if (!line->empty()) line->push_back(L' ');
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    *line += arg;
    return;
  }
  line->push_back(L'"');
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line->append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line->push_back(c);
  }
  line->append(backslashes * 2, L'\\');
  line->push_back(L'"');
}

// The fleet's job: made once, never closed, so it ends with the fleet.
HANDLE fleet_job(std::string* error) {
  static HANDLE job = nullptr;
  if (job) return job;
  HANDLE made = ::CreateJobObjectW(nullptr, nullptr);
  if (!made) {
    *error = "cannot make a job object: " + win32::error_text(::GetLastError());
    return nullptr;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!::SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    *error = "cannot set up a job object: " + win32::error_text(::GetLastError());
    ::CloseHandle(made);
    return nullptr;
  }
  return job = made;
}

void read_pipe(HANDLE pipe, FleetEvent::Kind kind, std::size_t id, FleetEvents* events) {
  char chunk[4096];
  DWORD n = 0;
  while (::ReadFile(pipe, chunk, sizeof chunk, &n, nullptr) && n > 0) {
    FleetEvent event;
    event.kind = kind;
    event.child = id;
    event.bytes.assign(chunk, n);
    events->push(std::move(event));
  }
  ::CloseHandle(pipe);
}

FleetEvents* interrupt_events = nullptr;

BOOL WINAPI on_console_event(DWORD type) {
  if (!interrupt_events) return FALSE;
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
    FleetEvent event;
    event.kind = type == CTRL_C_EVENT ? FleetEvent::INTERRUPT : FleetEvent::TERMINATE;
    interrupt_events->push(std::move(event));
    return TRUE;
  }
  // The console closes or the session ends: the fleet has until Windows
  // ends it to abort its upgrades, write its report and close its logs.
  if (win32::ends_the_run(type)) win32::end_run(type == CTRL_CLOSE_EVENT);
  return TRUE;
}

void end_the_fleet(unsigned within_ms) {
  FleetEvent event;
  event.kind = FleetEvent::TERMINATE;
  event.within_ms = within_ms;
  interrupt_events->push(std::move(event));
}

}  // namespace

struct ChildProcess::Impl {
  HANDLE process = nullptr;
  HANDLE cancel_pipe = nullptr;  // the child's standard input, written by the fleet
  std::thread watcher;
  std::atomic<bool> killed{false};
};

ChildProcess::ChildProcess() = default;
ChildProcess::ChildProcess(ChildProcess&& other) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept = default;

ChildProcess::~ChildProcess() {
  if (!running()) return;
  kill();
  reap();
}

bool ChildProcess::running() const { return impl_ && impl_->process; }

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         std::size_t id, FleetEvents* events, std::string* error) {
  std::wstring application = win32::to_wide(program), line;
  for (const std::string& a : args) {
    std::wstring arg = win32::to_wide(a);
    if (arg.find(L'\0') != std::wstring::npos) {
      *error = "an argument holds a NUL";
      return false;
    }
    append_argument(arg, &line);
  }
  HANDLE job = fleet_job(error);
  if (!job) return false;

  // Made uninheritable; the child's ends are inheritable only while it is
  // created, and children are created one at a time (start's one caller),
  // so no child holds another's pipe open.
  HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr,
         err_read = nullptr, err_write = nullptr;
  auto close_all = [&] {
    for (HANDLE h : {in_read, in_write, out_read, out_write, err_read, err_write})
      if (h) ::CloseHandle(h);
  };
  if (!::CreatePipe(&in_read, &in_write, nullptr, 0) ||
      !::CreatePipe(&out_read, &out_write, nullptr, 0) ||
      !::CreatePipe(&err_read, &err_write, nullptr, 0)) {
    *error = "cannot make pipes: " + win32::error_text(::GetLastError());
    close_all();
    return false;
  }
  for (HANDLE h : {in_read, out_write, err_write})
    ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION info{};
  std::fflush(nullptr);
  BOOL made = ::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                               CREATE_SUSPENDED | DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP,
                               nullptr, nullptr, &startup, &info);
  DWORD made_error = ::GetLastError();
  // Only the child holds its ends now: its end closes the pipes.
  for (HANDLE* h : {&in_read, &out_write, &err_write}) {
    ::CloseHandle(*h);
    *h = nullptr;
  }
  if (!made) {
    *error = win32::error_text(made_error);
    close_all();
    return false;
  }
  // In the job before it runs a single instruction, so it cannot outlive
  // the fleet even for a moment.
  if (!::AssignProcessToJobObject(job, info.hProcess)) {
    *error = "cannot put it in the fleet's job: " + win32::error_text(::GetLastError());
    ::TerminateProcess(info.hProcess, KILLED_CODE);
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    close_all();
    return false;
  }
  auto impl = std::make_unique<Impl>();
  impl->process = info.hProcess;
  impl->cancel_pipe = in_write;
  in_write = nullptr;
  Impl* self = impl.get();
  HANDLE process = info.hProcess, out = out_read, err = err_read;
  try {
    impl->watcher = std::thread([self, process, out, err, id, events] {
      std::thread errors;
      try {
        errors = std::thread(read_pipe, err, FleetEvent::ERRORS, id, events);
      } catch (const std::system_error&) {
        ::CloseHandle(err);  // its output still arrives; its messages are lost
      }
      read_pipe(out, FleetEvent::OUTPUT, id, events);
      if (errors.joinable()) errors.join();
      // Its output is closed at both ends: it has ended, or is ending.
      ::WaitForSingleObject(process, INFINITE);
      DWORD code = 0;
      ::GetExitCodeProcess(process, &code);
      FleetEvent event;
      event.kind = FleetEvent::EXITED;
      event.child = id;
      event.exit.code = static_cast<int>(code);
      event.exit.signal = self->killed ? -1 : 0;
      events->push(std::move(event));
    });
  } catch (const std::system_error& e) {
    *error = e.what();
    ::TerminateProcess(info.hProcess, KILLED_CODE);
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    ::CloseHandle(impl->cancel_pipe);
    close_all();
    return false;
  }
  ::ResumeThread(info.hThread);
  ::CloseHandle(info.hThread);
  impl_ = std::move(impl);
  return true;
}

void ChildProcess::cancel(CancelReason) {
  if (!running() || !impl_->cancel_pipe) return;
  DWORD written = 0;
  ::WriteFile(impl_->cancel_pipe, "C", 1, &written, nullptr);
}

void ChildProcess::kill() {
  if (!running()) return;
  impl_->killed = true;
  ::TerminateProcess(impl_->process, KILLED_CODE);
}

void ChildProcess::reap() {
  if (!impl_) return;
  if (impl_->watcher.joinable()) impl_->watcher.join();
  if (impl_->cancel_pipe) ::CloseHandle(impl_->cancel_pipe);
  if (impl_->process) ::CloseHandle(impl_->process);
  impl_->cancel_pipe = impl_->process = nullptr;
}

std::string child_exit_text(const ChildExit& how) {
  if (how.signal < 0) return "ended by the fleet";
  auto code = static_cast<unsigned>(how.code);
  if (code < 0x10000) return "exit status " + std::to_string(code);
  char hex[16];  // an exception's code, as Windows shows it
  std::snprintf(hex, sizeof hex, "0x%08X", code);
  return std::string("exit status ") + hex;
}

// A child is told to cancel through its pipe, which it reads once it runs:
// it always gets to report.
bool ended_by_abort(const ChildExit&) { return false; }

bool deliver_interrupts(FleetEvents* events, std::string* error) {
  interrupt_events = events;
  win32::set_end_action(end_the_fleet);
  if (!::SetConsoleCtrlHandler(on_console_event, TRUE)) {
    *error = "cannot take Ctrl-C: " + win32::error_text(::GetLastError());
    return false;
  }
  // Told of the session's end before its upgrades (the default level is
  // 0x280): it cancels them and reports them while they still run.
  ::SetProcessShutdownParameters(0x3FF, 0);
  win32::watch_session_end();
  return true;
}

namespace {

struct FleetPipe {
  HANDLE in;
  void (*on_cancel)();
};

int watch_fleet_pipe(void* argument) {
  auto* pipe = static_cast<FleetPipe*>(argument);
  char byte;
  DWORD n = 0;
  while (::ReadFile(pipe->in, &byte, 1, &n, nullptr) && n == 1) pipe->on_cancel();
  pipe->on_cancel();  // the fleet is gone
  delete pipe;
  return 0;
}

}  // namespace

void watch_fleet(void (*on_cancel)()) {
  HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  // Only a fleet gives a pipe there; a person running this by hand is not
  // cancelled by typing.
  if (in == nullptr || in == INVALID_HANDLE_VALUE || ::GetFileType(in) != FILE_TYPE_PIPE) return;
  auto* pipe = new FleetPipe{in, on_cancel};
  PlatformThread* thread = thread_start(watch_fleet_pipe, pipe);
  if (!thread) {
    delete pipe;
    on_cancel();  // unwatched, the fleet's Cancel would never come: stop now
    return;
  }
  thread_release(thread);
}

}  // namespace sys

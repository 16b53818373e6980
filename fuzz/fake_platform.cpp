#include "fuzz/fake_platform.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_check.h"
#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/host.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/resources.h"
#include "platform/thread.h"
#include "platform/trace.h"

namespace fake {

std::deque<Datagram> script;
std::function<void()> refill;
std::function<void(const Datagram&, int)> on_receive;
std::function<void(const Sent&)> on_send;
std::function<void()> on_tick;
std::vector<Sent> sent;
int idle_tail_limit = -1;
bool exhausted = false;
namespace {
int idle_tail = 0;
}

void reset() {
  script.clear();
  sent.clear();
  on_receive = nullptr;
  refill = nullptr;
  idle_tail_limit = -1;
  exhausted = false;
  idle_tail = 0;
  on_send = nullptr;
  on_tick = nullptr;
}

}  // namespace fake

namespace {
char dialog_cell;  // every dialog handle points here; nothing reads through it
std::uint32_t fake_clock = 0;
unsigned fake_random = 1;
}  // namespace

// ---- clock: ticks of 15.625 ms, advanced only by the sleeps and waits ----
namespace {
std::uint32_t fake_tick = 0;
void advance_to_tick(std::uint32_t tick) {
  auto ahead = static_cast<std::int32_t>(tick - fake_tick);
  if (ahead <= 0) return;
  fake_clock += static_cast<std::uint32_t>(ahead) * 15625u / 1000u;
  fake_tick = tick;
  if (fake::on_tick) fake::on_tick();
}
std::uint32_t tick_after(std::uint32_t milliseconds) {
  return fake_tick + (milliseconds * 1000u + 15624u) / 15625u;
}
}  // namespace

std::uint32_t clock_ms() { return fake_clock; }
std::uint32_t clock_tick() { return fake_tick; }
void sleep_ms(std::uint32_t milliseconds) { advance_to_tick(tick_after(milliseconds)); }
void random_seed(unsigned seed) { fake_random = seed; }
int random_next() {
  fake_random = fake_random * 1103515245u + 12345u;
  return static_cast<int>((fake_random >> 16) & 0x7fff);
}

// ---- sockets ----
int net_startup() { return 0; }
NetSocket net_tcp_socket() { return 3; }
NetSocket net_udp_socket() { return 4; }
int net_bind(NetSocket, std::uint32_t, std::uint16_t) { return 0; }
bool net_last_bind_denied() { return false; }
int net_connect(NetSocket, std::uint32_t, std::uint16_t) { return -1; }
int net_send(NetSocket, const void*, int length) { return length; }
int net_recv(NetSocket, void*, int) { return 0; }

int net_sendto(NetSocket, const void* data, int length, std::uint32_t address, std::uint16_t port) {
  FUZZ_CHECK(length >= 0);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  fake::Sent s{address, port, std::vector<std::uint8_t>(bytes, bytes + length)};
  if (fake::on_send) fake::on_send(s);
  fake::sent.push_back(std::move(s));
  return length;
}

// As the platforms do: a datagram longer than the buffer is an error (and
// gone), and an empty datagram reads as 0 bytes.
int net_recvfrom(NetSocket, void* buffer, int length, std::uint32_t* address, std::uint16_t* port) {
  FUZZ_CHECK(length > 0);
  if (fake::script.empty() && fake::refill) fake::refill();
  if (fake::script.empty() && fake::exhausted && fake::idle_tail_limit >= 0 &&
      ++fake::idle_tail > fake::idle_tail_limit)
    throw fake::ScriptEnded{buffer};
  fake::Datagram d;
  d.nothing = true;
  if (!fake::script.empty()) {
    d = std::move(fake::script.front());
    fake::script.pop_front();
  }
  int result = -1;
  if (!d.nothing && d.bytes.size() <= static_cast<std::size_t>(length)) {
    std::size_t n = d.bytes.size();
    if (n) std::memcpy(buffer, d.bytes.data(), n);
    *address = d.address;
    *port = d.port;
    result = static_cast<int>(n);
  }
  if (fake::on_receive) fake::on_receive(d, result);
  return result;
}

int net_set_nonblocking(NetSocket) { return 0; }
void net_close(NetSocket) {}
// A datagram next in the script is there at once; otherwise the whole wait
// passes.
bool net_wait_readable_until(NetSocket, std::uint32_t tick) {
  if (!fake::script.empty() && !fake::script.front().nothing) return true;
  advance_to_tick(tick);
  return false;
}
bool net_wait_readable(NetSocket socket, int timeout_ms) {
  return net_wait_readable_until(socket, tick_after(static_cast<std::uint32_t>(timeout_ms)));
}

// ---- host ----
int host_get_name(char* buffer, int length) {
  std::snprintf(buffer, static_cast<std::size_t>(length), "fuzz");
  return 0;
}
int host_own_addresses(const char*, std::uint32_t* addresses, int max) {
  if (max > 0) addresses[0] = 0x7f000001;
  return max > 0 ? 1 : 0;
}

// ---- dialogs: inert; nothing the user could see may appear ----
int dialog_box(AppInstance, int, DialogProc) { return 0; }
DialogHandle dialog_create(AppInstance, int, DialogProc) {
  return reinterpret_cast<DialogHandle>(&dialog_cell);
}
void dialog_show(DialogHandle) {}
void dialog_end(DialogHandle, int) {}
void dialog_destroy(DialogHandle) {}
void dialog_set_caption(DialogHandle, const char* text) { FUZZ_CHECK(text != nullptr); }
void dialog_set_item_text(DialogHandle, int, const char* text) { FUZZ_CHECK(text != nullptr); }
int dialog_get_item_text(DialogHandle, int, char* buffer, int limit) {
  if (limit > 0) buffer[0] = '\0';
  return 0;
}
void dialog_focus_item(DialogHandle, int) {}
void dialog_combo_add(DialogHandle, int, const char*) {}
void dialog_combo_select(DialogHandle, int, int) {}
int dialog_combo_selection(DialogHandle, int) { return -1; }
void dialog_progress_range(DialogHandle, int, int, int) {}
void dialog_progress_pos(DialogHandle, int, int) {}
bool dialog_pump_one(DialogHandle) { return false; }
void dialog_pump_all(DialogHandle) {}
void dialog_message_box(DialogHandle, const char* text, const char*) {
  std::fprintf(stderr, "unexpected message box: %s\n", text);
  std::abort();
}
void message_box_task_modal(const char* text, const char*) {
  std::fprintf(stderr, "unexpected message box: %s\n", text);
  std::abort();
}
bool window_get_rect(DialogHandle, WindowRect*) { return false; }
int screen_width() { return 1024; }
int screen_height() { return 768; }
void window_move_top(DialogHandle, int, int) {}

// ---- process, resources, threads, trace ----
int window_class_register(AppInstance) { return 1; }
void common_controls_init() {}
const char* process_bind_privilege_hint() { return ""; }
void process_exit(int code) {
  std::fprintf(stderr, "unexpected process exit (%d)\n", code);
  std::abort();
}
bool resource_find(int, const char*, const unsigned char**, std::uint32_t*) { return false; }
PlatformThread* thread_start(ThreadBody, void*) { return nullptr; }
bool thread_ended(PlatformThread*, int*) { return true; }
void thread_release(PlatformThread*) {}

// The trace points are formatted, as the real hook would, so that a bad
// format argument still shows under the sanitizers.
void trace(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
}

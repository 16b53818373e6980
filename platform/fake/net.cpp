#include "platform/net.h"

#include <cstring>

#include "platform/fake/fake.h"
#include "platform/fake/internal.h"

namespace fake {

std::deque<Datagram> script;
std::function<void()> refill;
std::function<void(const Datagram&, int)> on_receive;
std::function<void(const Sent&)> on_send;
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
  fake_advance_to_tick(tick);
  return false;
}

bool net_wait_readable(NetSocket socket, int timeout_ms) {
  return net_wait_readable_until(socket, fake_tick_after(static_cast<std::uint32_t>(timeout_ms)));
}

#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/options.h"
#include "platform/posix/bind_helper.h"
#include "platform/posix/time_scale.h"

namespace {

thread_local bool last_bind_denied = false;

sockaddr_in make_address(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

int fd(NetSocket socket) { return static_cast<int>(socket); }

NetSocket make_socket(int type) {
  int s = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  return s < 0 ? NET_INVALID_SOCKET : static_cast<NetSocket>(s);
}

}  // namespace

int net_startup() { return 0; }

NetSocket net_tcp_socket() { return make_socket(SOCK_STREAM); }
NetSocket net_udp_socket() { return make_socket(SOCK_DGRAM); }

namespace {
bool is_stream(NetSocket socket) {
  int type = 0;
  socklen_t length = sizeof type;
  return ::getsockopt(fd(socket), SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}
}  // namespace

const std::string& posix_bind_helper_path() {
  static std::once_flag once;
  static std::string helper;
  std::call_once(once, [] {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return;
    std::string folder(path, static_cast<std::size_t>(n));
    folder.erase(folder.rfind('/') + 1);
    for (const char* where : {"qel-upgrade-bind", "../libexec/qel-upgrade/qel-upgrade-bind"}) {
      char real[PATH_MAX];
      if (::realpath((folder + where).c_str(), real) && ::access(real, F_OK) == 0) {
        helper = real;
        return;
      }
    }
  });
  return helper;
}

namespace {

// The helper's answer comes at once; this only bounds a helper that hangs.
constexpr int HELPER_REPLY_MS = 5000;

// The port helper binds a socket to the address and port and hands it over;
// it replaces `socket` (same descriptor number). 0, or why it failed (EACCES
// when there is no helper or it may not run or bind either).
int bind_through_helper(int socket, std::uint32_t address, std::uint16_t port) {
  const std::string& helper = posix_bind_helper_path();
  if (helper.empty()) return EACCES;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return EACCES;
  in_addr in{htonl(address)};
  char address_text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &in, address_text, sizeof address_text);
  char port_text[8];
  std::snprintf(port_text, sizeof port_text, "%u", static_cast<unsigned>(port));
  char name[] = "qel-upgrade-bind";
  char* argv[] = {name, address_text, port_text, nullptr};
  char* no_environment[] = {nullptr};
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
  pid_t child = 0;
  // posix_spawn, not fork: other threads (a toolkit's) may hold locks.
  int spawned = ::posix_spawn(&child, helper.c_str(), &actions, nullptr, argv, no_environment);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(pair[1]);
  if (spawned != 0) {
    ::close(pair[0]);
    return EACCES;
  }

  int result = EACCES;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(HELPER_REPLY_MS);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    pollfd p{pair[0], POLLIN, 0};
    int ready = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      ::kill(child, SIGKILL);
      break;
    }
    std::int32_t error = 0;
    iovec data{&error, sizeof error};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(pair[0], &message, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    int received = -1;
    cmsghdr* header = n > 0 ? CMSG_FIRSTHDR(&message) : nullptr;
    if (header && header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
        header->cmsg_len == CMSG_LEN(sizeof(int)))
      std::memcpy(&received, CMSG_DATA(header), sizeof received);
    if (n == static_cast<ssize_t>(sizeof error) && error != 0) {
      result = error;
    } else if (n == static_cast<ssize_t>(sizeof error) && received >= 0 &&
               ::dup3(received, socket, O_CLOEXEC) == socket) {
      result = 0;
    }
    if (received >= 0) ::close(received);
    break;
  }
  ::close(pair[0]);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return result;
}

}  // namespace

int net_bind(NetSocket socket, std::uint32_t address, std::uint16_t port) {
  if (port != 0 && platform_options().system_client_ports && is_stream(socket)) port = 0;
  sockaddr_in sa = make_address(address, port);
  int error = ::bind(fd(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
  // The TFTP ports are the only privileged ones the program binds.
  int type = 0;
  socklen_t length = sizeof type;
  if (error == EACCES && port >= 69 && port <= 168 &&
      ::getsockopt(fd(socket), SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_DGRAM)
    error = bind_through_helper(fd(socket), address, port);
  last_bind_denied = error == EACCES || error == EPERM;
  errno = error;
  return error == 0 ? 0 : -1;
}

bool net_last_bind_denied() { return last_bind_denied; }

namespace {

using steady = std::chrono::steady_clock;

// What the Windows stack gives a connect, in the program's time: a refusal is
// tried again every half second for 2 s; silence ends after 21 s (three SYNs).
constexpr double CONNECT_REFUSED_RETRY_MS = 500;
constexpr double CONNECT_REFUSED_FOR_MS = 2000;
constexpr double CONNECT_SILENT_MS = 21000;

steady::time_point program_time_from(steady::time_point start, double milliseconds) {
  return start + std::chrono::microseconds(
                     static_cast<std::int64_t>(milliseconds * 1000 / posix_time_scale()));
}

timespec until(steady::time_point deadline) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - steady::now()).count();
  if (ns < 0) ns = 0;
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// One connect on a non-blocking socket, waited for until the deadline: 0 or
// the error. A signal interrupts only the wait, never the connection, which
// goes on; its outcome is read from the socket.
int connect_once(int s, const sockaddr_in& sa, steady::time_point deadline) {
  int r = ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  // After a failed attempt, Linux first answers that the old one was aborted.
  if (r != 0 && errno == ECONNABORTED)
    r = ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  if (r == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  // The socket is looked at once more after the deadline: a thread stopped
  // past it (a busy machine, a debugger) may find its connection made.
  for (;;) {
    pollfd p{s, POLLOUT, 0};
    timespec left = until(deadline);
    int ready = ::ppoll(&p, 1, &left, nullptr);
    if (ready > 0) break;
    if (ready == 0) return ETIMEDOUT;
    if (errno != EINTR) return errno;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

}  // namespace

int net_connect(NetSocket socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = make_address(address, port);
  int flags = ::fcntl(fd(socket), F_GETFL, 0);
  if (flags < 0) return -1;
  // A non-blocking socket gets the plain call, "would block" included.
  if (flags & O_NONBLOCK)
    return ::connect(fd(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
  if (::fcntl(fd(socket), F_SETFL, flags | O_NONBLOCK) != 0) return -1;

  steady::time_point start = steady::now();
  steady::time_point silent_end = program_time_from(start, CONNECT_SILENT_MS);
  steady::time_point refused_end = program_time_from(start, CONNECT_REFUSED_FOR_MS);
  int error;
  for (;;) {
    error = connect_once(fd(socket), sa, silent_end);
    if (error != ECONNREFUSED) break;
    steady::time_point now = steady::now();
    if (now >= refused_end) break;
    std::this_thread::sleep_until(program_time_from(now, CONNECT_REFUSED_RETRY_MS));
  }
  ::fcntl(fd(socket), F_SETFL, flags);
  return error == 0 ? 0 : -1;
}

int net_send(NetSocket socket, const void* data, int length) {
  return static_cast<int>(::send(fd(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL));
}

int net_recv(NetSocket socket, void* buffer, int length) {
  ssize_t n;
  do {
    n = ::recv(fd(socket), buffer, static_cast<size_t>(length), 0);
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}

int net_sendto(NetSocket socket, const void* data, int length, std::uint32_t address,
               std::uint16_t port) {
  sockaddr_in sa = make_address(address, port);
  return static_cast<int>(::sendto(fd(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL,
                                   reinterpret_cast<sockaddr*>(&sa), sizeof sa));
}

int net_recvfrom(NetSocket socket, void* buffer, int length, std::uint32_t* address,
                 std::uint16_t* port) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  // MSG_TRUNC gives a datagram's whole length: one longer than the buffer is
  // an error, and gone, as Windows reports it (WSAEMSGSIZE).
  ssize_t n = ::recvfrom(fd(socket), buffer, static_cast<size_t>(length), MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&sa), &len);
  if (n > length) {
    errno = EMSGSIZE;
    return -1;
  }
  if (n >= 0) {
    *address = ntohl(sa.sin_addr.s_addr);
    *port = ntohs(sa.sin_port);
  }
  return static_cast<int>(n);
}

int net_set_nonblocking(NetSocket socket) {
  int flags = ::fcntl(fd(socket), F_GETFL, 0);
  return flags < 0 || ::fcntl(fd(socket), F_SETFL, flags | O_NONBLOCK) != 0 ? -1 : 0;
}

void net_close(NetSocket socket) { ::close(fd(socket)); }

bool net_wait_readable_until(NetSocket socket, std::uint32_t tick) {
  steady::time_point deadline = posix_tick_deadline(tick);
  for (;;) {
    pollfd p{fd(socket), POLLIN, 0};
    timespec left = until(deadline);
    int r = ::ppoll(&p, 1, &left, nullptr);
    if (r > 0) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

bool net_wait_readable(NetSocket socket, int timeout_ms) {
  if (timeout_ms <= 0) {
    pollfd p{fd(socket), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
  }
  return net_wait_readable_until(socket, posix_tick_after(static_cast<std::uint32_t>(timeout_ms)));
}

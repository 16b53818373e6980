// qel-upgrade-bind: the one part of qel-upgrade that may hold
// CAP_NET_BIND_SERVICE. It binds one UDP socket to a TFTP port (69..168) on
// the address it is given and hands the socket back over the Unix socket on
// its standard input (SCM_RIGHTS), then ends.
//
//   qel-upgrade-bind ADDRESS PORT      (standard input: a Unix socket)
//
// It loads no plugins, reads no configuration and no environment variable,
// and the dynamic loader ignores LD_PRELOAD and LD_LIBRARY_PATH for a
// program with a file capability, so the privilege reaches no code a user
// can choose. The reply is one message: a 4-byte errno (0 when bound), with
// the socket attached when bound. Exit code: 0 when a reply was sent, 2 for
// bad usage.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long FIRST_PORT = 69;
constexpr long LAST_PORT = 168;

bool reply(std::int32_t error, int socket) {
  iovec data{&error, sizeof error};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  if (socket >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &socket, sizeof socket);
  }
  ssize_t sent;
  do {
    sent = ::sendmsg(STDIN_FILENO, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(sizeof error);
}

}  // namespace

int main(int argc, char** argv) {
  // Only a Unix socket may receive the result.
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (argc != 3 || ::getsockname(STDIN_FILENO, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      peer.ss_family != AF_UNIX)
    return 2;
  in_addr address{};
  if (::inet_pton(AF_INET, argv[1], &address) != 1) return 2;
  char* end = nullptr;
  errno = 0;
  long port = std::strtol(argv[2], &end, 10);
  if (errno != 0 || end == argv[2] || *end != '\0' || port < FIRST_PORT || port > LAST_PORT)
    return 2;

  int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket < 0) return reply(errno, -1) ? 0 : 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<std::uint16_t>(port));
  local.sin_addr = address;
  if (::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
    return reply(errno, -1) ? 0 : 1;
  return reply(0, socket) ? 0 : 1;
}

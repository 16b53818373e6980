// The device lock on Linux (device_lock.h; the Windows side is
// win32/device_lock.cpp): a listening abstract Unix socket named after the
// device's address. The kernel frees the name when the socket's last
// descriptor closes, so a run that died holds nothing; the names belong to
// the network namespace, as the addresses of the devices do.
//
// Anyone may bind an abstract name, so a local user could take a device's
// name to keep others from upgrading it. A holder is therefore asked who it
// is (SO_PEERCRED): a process whose user could not serve firmware (not root,
// not this user, no CAP_NET_BIND_SERVICE, may not run the port helper, and
// the TFTP ports are not open to all) is not upgrading any device and is not
// in the way: the lock moves on to the next name of a short row. Every run
// walks the same row and, once it holds a name, asks the holders of all the
// others, so of two runs that hold names at once the later one sees the
// earlier and stops. A user who holds every name of the row can make a run
// go on unguarded (it says so); nobody but a run that may upgrade can make
// one stop.
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frontends/admin/device_lock.h"
#include "frontends/admin/util.h"
#include "platform/posix/bind_helper.h"

namespace admin {

namespace {

constexpr int NAMES = 8;
constexpr unsigned long CAP_NET_BIND_SERVICE_BIT = 10;

struct Name {
  sockaddr_un address{};
  socklen_t size = 0;
};

Name name_of(std::uint32_t device, int index) {
  Name n;
  n.address.sun_family = AF_UNIX;
  std::string text = "qel-upgrade/device/" + dotted(device) + "/" + std::to_string(index);
  // sun_path[0] stays 0: an abstract name, no file anywhere.
  std::memcpy(n.address.sun_path + 1, text.data(), text.size());
  n.size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size());
  return n;
}

std::string read_small(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "";
  char buffer[8192];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
}

// Another user's texts, shown as a device's are (the arguments of a command
// line are separated by NULs).
std::string plain(std::string text) {
  std::replace(text.begin(), text.end(), '\0', ' ');
  return shown_utf8(text);
}

struct Peer {
  ucred cred{};
  std::vector<gid_t> groups;
};

// Who listens on the name; false when nobody answers there.
bool ask(const Name& name, Peer* peer) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  socklen_t size = sizeof peer->cred;
  bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&name.address), name.size) == 0 &&
            ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer->cred, &size) == 0;
  if (ok) {
    peer->groups.resize(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
      socklen_t bytes = static_cast<socklen_t>(peer->groups.size() * sizeof(gid_t));
      int got = ::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, peer->groups.data(), &bytes);
      if (got == 0 || errno != ERANGE) {
        peer->groups.resize(got == 0 ? bytes / sizeof(gid_t) : 0);
        break;
      }
      peer->groups.resize(bytes / sizeof(gid_t));
    }
  }
  ::close(fd);
  return ok;
}

bool has_port_capability(pid_t pid) {
  std::string status = read_small("/proc/" + std::to_string(pid) + "/status");
  std::size_t at = status.find("\nCapEff:");
  if (pid <= 0 || at == std::string::npos) return false;
  unsigned long long effective = std::strtoull(status.c_str() + at + 8, nullptr, 16);
  return (effective >> CAP_NET_BIND_SERVICE_BIT) & 1;
}

// Whether the peer may run a port helper that holds the capability.
bool may_use_helper(const Peer& peer) {
  const std::string& helper = posix_bind_helper_path();
  struct stat about {};
  if (helper.empty() || ::stat(helper.c_str(), &about) != 0 ||
      ::getxattr(helper.c_str(), "security.capability", nullptr, 0) <= 0)
    return false;
  if (peer.cred.uid == about.st_uid) return about.st_mode & S_IXUSR;
  bool member = peer.cred.gid == about.st_gid || std::find(peer.groups.begin(), peer.groups.end(),
                                                           about.st_gid) != peer.groups.end();
  return about.st_mode & (member ? S_IXGRP : S_IXOTH);
}

bool could_serve_firmware(const Peer& peer) {
  if (peer.cred.uid == 0 || peer.cred.uid == ::geteuid()) return true;
  // The TFTP ports lie at or above the first port open to every user (0:
  // every port is; an unreadable setting says nothing).
  std::string setting = read_small("/proc/sys/net/ipv4/ip_unprivileged_port_start");
  char* end = nullptr;
  long first_open = std::strtol(setting.c_str(), &end, 10);
  if (end != setting.c_str() && first_open >= 0 && first_open <= 168) return true;
  return has_port_capability(peer.cred.pid) || may_use_helper(peer);
}

LockHolder describe(const Peer& peer) {
  LockHolder holder;
  holder.pid = peer.cred.pid;
  passwd entry{}, *found = nullptr;
  char buffer[2048];
  if (::getpwuid_r(peer.cred.uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
    holder.user = plain(entry.pw_name);
  else
    holder.user = std::to_string(peer.cred.uid);
  std::string command = read_small("/proc/" + std::to_string(peer.cred.pid) + "/cmdline");
  if (command.size() > 300) command = command.substr(0, 300) + "...";
  holder.command = plain(command);
  return holder;
}

}  // namespace

DeviceLock::~DeviceLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

DeviceLock::State DeviceLock::take(std::uint32_t device, LockHolder* holder) {
  int mine = -1;
  bool stranger = false;
  for (int index = 0; index < NAMES && mine < 0; ++index) {
    Name name = name_of(device, index);
    // A holder may leave between the bind and the question: then bind again.
    for (int attempt = 0; attempt < 3; ++attempt) {
      int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&name.address), name.size) == 0 &&
          ::listen(fd, SOMAXCONN) == 0) {
        handle_ = fd;
        mine = index;
        break;
      }
      if (fd >= 0) ::close(fd);
      Peer peer;
      bool answered = ask(name, &peer);
      if (answered && could_serve_firmware(peer)) {
        *holder = describe(peer);
        return BUSY;
      }
      // Bound without listening, or full: no run of this program does that.
      if (!answered && attempt < 2) continue;
      if (!stranger) *holder = answered ? describe(peer) : LockHolder{};
      stranger = true;
      break;
    }
  }
  if (mine < 0) return UNGUARDED;
  for (int index = 0; index < NAMES; ++index) {
    Peer peer;
    if (index == mine || !ask(name_of(device, index), &peer) || !could_serve_firmware(peer))
      continue;
    ::close(static_cast<int>(handle_));
    handle_ = -1;
    *holder = describe(peer);
    return BUSY;
  }
  return HELD;
}

}  // namespace admin

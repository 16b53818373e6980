// qel-udp-relay: a lossy UDP relay for tests. Datagrams from clients to the
// listening address go to the server from a socket of the client's own, and
// the server's answers go back from the listening address, each subject to
// seeded loss, duplication, delay and reordering. See README.md.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Faults {
  double loss = 0, dup = 0, delay = 0, reorder = 0;
  int delay_min_ms = 0, delay_max_ms = 0;
  int reorder_ms = 15;
};

struct Options {
  sockaddr_in listen{}, server{};
  Faults faults;
  bool to_server = true, to_client = true;  // directions the faults apply to
  std::uint64_t seed = 1;
  long blackout_after = -1;  // server-to-client datagrams passed before going dark
  double time_limit = 120;
  std::string port_file, stats_file, log_file;
  bool allow_any = false;
};

struct Direction {
  long received = 0, dropped = 0, duplicated = 0, delayed = 0, reordered = 0, sent = 0;
};

struct Pending {
  Clock::time_point due;
  long order;
  int fd;
  sockaddr_in to;
  std::vector<unsigned char> bytes;
  bool operator<(const Pending& o) const { return due != o.due ? due < o.due : order < o.order; }
};

volatile sig_atomic_t stopping = 0;
void on_signal(int) { stopping = 1; }

[[noreturn]] void usage(const std::string& why) {
  std::fprintf(stderr, "qel-udp-relay: %s (see --help)\n", why.c_str());
  std::exit(2);
}

sockaddr_in parse_endpoint(const std::string& text) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) usage("an endpoint needs A.B.C.D:PORT");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &sa.sin_addr) != 1) usage("bad address");
  char* end = nullptr;
  long port = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end || port < 0 || port > 65535) usage("bad port");
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  return sa;
}

bool loopback(const sockaddr_in& sa) { return (ntohl(sa.sin_addr.s_addr) >> 24) == 127; }

Options parse(int argc, char** argv) {
  Options o;
  std::string listen, server, delay_ms, faults = "both";
  CLI::App app{
      "A lossy UDP relay for tests: datagrams to --listen go to --server and back,\n"
      "each subject to seeded loss, duplication, delay and reordering.",
      "qel-udp-relay"};
  auto probability = CLI::Range(0.0, 1.0);
  app.add_option("--listen", listen, "address and port to listen on, A.B.C.D:PORT")->required();
  app.add_option("--server", server, "the server's address and port, A.B.C.D:PORT")->required();
  app.add_option("--loss", o.faults.loss, "probability that a datagram is dropped")
      ->check(probability);
  app.add_option("--dup", o.faults.dup, "probability that a datagram is sent twice")
      ->check(probability);
  app.add_option("--delay", o.faults.delay, "probability that a datagram is delayed")
      ->check(probability);
  app.add_option("--delay-ms", delay_ms, "delay of a delayed datagram, MIN[-MAX] milliseconds");
  app.add_option("--reorder", o.faults.reorder, "probability that a datagram is held back")
      ->check(probability);
  app.add_option("--reorder-ms", o.faults.reorder_ms, "how long a held-back datagram waits")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--faults", faults, "directions the faults apply to")
      ->check(CLI::IsMember({"both", "to-server", "to-client"}));
  app.add_option("--seed", o.seed, "seed of the fault generator");
  app.add_option("--blackout-after", o.blackout_after,
                 "server-to-client datagrams passed before going dark (-1: never)");
  app.add_option("--time-limit", o.time_limit, "seconds before the relay stops by itself");
  app.add_option("--port-file", o.port_file, "write the listening port here once bound");
  app.add_option("--stats", o.stats_file, "write the counts per direction here at the end");
  app.add_option("--log", o.log_file, "log every datagram here");
  app.add_flag("--allow-any-address", o.allow_any,
               "relay between addresses outside loopback (private network namespaces only)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help ends with 0; every usage error with 2, as before.
    std::exit(app.exit(e) == 0 ? 0 : 2);
  }
  o.listen = parse_endpoint(listen);
  o.server = parse_endpoint(server);
  if (!delay_ms.empty()) {
    std::size_t dash = delay_ms.find('-');
    o.faults.delay_min_ms = std::atoi(delay_ms.c_str());
    o.faults.delay_max_ms =
        dash == std::string::npos ? o.faults.delay_min_ms : std::atoi(delay_ms.c_str() + dash + 1);
    if (o.faults.delay_min_ms < 0 || o.faults.delay_max_ms < o.faults.delay_min_ms)
      usage("bad --delay-ms");
  }
  o.to_server = faults != "to-client";
  o.to_client = faults != "to-server";
  // Tests only: never relay to or from anything but loopback unless told so
  // (inside a private network namespace).
  if (!o.allow_any && (!loopback(o.listen) || !loopback(o.server)))
    usage("only loopback addresses without --allow-any-address");
  return o;
}

std::string endpoint_text(const sockaddr_in& sa) {
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(sa.sin_port));
}

int udp_socket(const sockaddr_in& at) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  return fd;
}

class Relay {
 public:
  explicit Relay(const Options& o) : o_(o), random_(o.seed) {
    if (!o.log_file.empty()) log_ = std::fopen(o.log_file.c_str(), "w");
  }

  int run() {
    front_ = udp_socket(o_.listen);
    if (front_ < 0) {
      std::perror("qel-udp-relay: cannot bind the listening address");
      return 1;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(front_, reinterpret_cast<sockaddr*>(&bound), &length);
    if (!o_.port_file.empty()) {
      std::ofstream(o_.port_file + ".tmp") << "port=" << ntohs(bound.sin_port) << "\n";
      std::rename((o_.port_file + ".tmp").c_str(), o_.port_file.c_str());
    }
    note("START listen=%s server=%s", endpoint_text(bound).c_str(),
         endpoint_text(o_.server).c_str());

    Clock::time_point end =
        Clock::now() + std::chrono::milliseconds(static_cast<long>(o_.time_limit * 1000));
    while (!stopping && Clock::now() < end) {
      std::vector<pollfd> fds{{front_, POLLIN, 0}};
      for (const auto& c : clients_) fds.push_back({c.second, POLLIN, 0});
      int timeout = 50;
      if (!pending_.empty()) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(pending_.begin()->due -
                                                                          Clock::now());
        timeout = wait.count() < 0 ? 0 : static_cast<int>(std::min<long>(wait.count() + 1, 50));
      }
      ::poll(fds.data(), fds.size(), timeout);
      if (fds[0].revents & POLLIN) from_clients();
      for (std::size_t i = 1; i < fds.size(); ++i)
        if (fds[i].revents & POLLIN) from_server(fds[i].fd);
      deliver_due();
    }
    note("STOP %s", stopping ? "signal" : "time-limit");
    write_stats();
    return 0;
  }

 private:
  void note(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (!log_) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(log_, format, args);
    va_end(args);
    std::fputc('\n', log_);
    std::fflush(log_);
  }

  bool chance(double p) {
    return p > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < p;
  }

  void from_clients() {
    for (;;) {
      unsigned char buffer[65536];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      ssize_t n =
          ::recvfrom(front_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) return;
      std::uint64_t key = (std::uint64_t(from.sin_addr.s_addr) << 16) | from.sin_port;
      auto found = clients_.find(key);
      if (found == clients_.end()) {
        // Each client gets a socket of its own toward the server, on the
        // listening address, so the server's answers can be told apart.
        sockaddr_in local = o_.listen;
        local.sin_port = 0;
        int fd = udp_socket(local);
        if (fd < 0) continue;
        found = clients_.emplace(key, fd).first;
        client_of_[fd] = from;
        note("CLIENT %s", endpoint_text(from).c_str());
      }
      pass(up_, o_.to_server, found->second, o_.server, buffer, n, "to-server");
    }
  }

  void from_server(int fd) {
    for (;;) {
      unsigned char buffer[65536];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      ssize_t n =
          ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) return;
      if (from.sin_addr.s_addr != o_.server.sin_addr.s_addr) continue;  // only the server's answers
      pass(down_, o_.to_client, front_, client_of_[fd], buffer, n, "to-client");
    }
  }

  void pass(Direction& d, bool faults, int fd, const sockaddr_in& to, const unsigned char* bytes,
            ssize_t n, const char* name) {
    ++d.received;
    if (dark_) {
      ++d.dropped;
      note("%s DROP dark len=%zd", name, n);
      return;
    }
    if (&d == &down_ && o_.blackout_after >= 0 && down_.received > o_.blackout_after) {
      dark_ = true;
      ++d.dropped;
      note("%s DARK after=%ld", name, o_.blackout_after);
      return;
    }
    const Faults none{};
    const Faults& f = faults ? o_.faults : none;
    if (chance(f.loss)) {
      ++d.dropped;
      note("%s DROP len=%zd", name, n);
      return;
    }
    int copies = 1;
    if (chance(f.dup)) {
      copies = 2;
      ++d.duplicated;
    }
    for (int c = 0; c < copies; ++c) {
      int ms = 0;
      if (chance(f.delay)) {
        ms += std::uniform_int_distribution<int>(f.delay_min_ms, f.delay_max_ms)(random_);
        ++d.delayed;
      }
      // A held-back datagram is overtaken by whatever follows it.
      if (chance(f.reorder)) {
        ms += f.reorder_ms;
        ++d.reordered;
      }
      note("%s PASS len=%zd copy=%d delay_ms=%d", name, n, c, ms);
      pending_.insert({Clock::now() + std::chrono::milliseconds(ms), order_++, fd, to,
                       std::vector<unsigned char>(bytes, bytes + n)});
    }
  }

  void deliver_due() {
    Clock::time_point now = Clock::now();
    while (!pending_.empty() && pending_.begin()->due <= now) {
      const Pending& p = *pending_.begin();
      ::sendto(p.fd, p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&p.to),
               sizeof p.to);
      if (p.fd == front_)
        ++down_.sent;
      else
        ++up_.sent;
      pending_.erase(pending_.begin());
    }
  }

  void write_stats() {
    if (o_.stats_file.empty()) return;
    auto json = [](const Direction& d) {
      return "{\"received\":" + std::to_string(d.received) +
             ",\"dropped\":" + std::to_string(d.dropped) +
             ",\"duplicated\":" + std::to_string(d.duplicated) +
             ",\"delayed\":" + std::to_string(d.delayed) +
             ",\"reordered\":" + std::to_string(d.reordered) +
             ",\"sent\":" + std::to_string(d.sent) + "}";
    };
    std::ofstream out(o_.stats_file + ".tmp");
    out << "{\"to_server\":" << json(up_) << ",\"to_client\":" << json(down_)
        << ",\"clients\":" << clients_.size() << "}\n";
    out.close();
    std::rename((o_.stats_file + ".tmp").c_str(), o_.stats_file.c_str());
  }

  Options o_;
  std::mt19937_64 random_;
  std::FILE* log_ = nullptr;
  int front_ = -1;
  std::map<std::uint64_t, int> clients_;
  std::map<int, sockaddr_in> client_of_;
  std::set<Pending> pending_;
  long order_ = 0;
  Direction up_, down_;
  bool dark_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  try {
    Options options = parse(argc, argv);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    return Relay(options).run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qel-udp-relay: %s\n", e.what());
    return 1;
  }
}

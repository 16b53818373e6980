// Transfers: the embedded Target image downloaded by curl and atftp from our
// listener and from tftpd-hpa, and the resend timing of our listener at
// real speed.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench.h"
#include "support/files.h"
#include "support/process.h"

namespace bench {

using namespace std::chrono_literals;

namespace {

constexpr int IMAGE_BLOCKS = 1702;  // 871,243 bytes in 512-byte blocks

// Programs whose output is not read: no input, no output, their errors shown.
constexpr simtest::Streams QUIET{.null_input = true, .output = simtest::Output::discard};

// ---- loopback round trip ----

// Median time for a 516-byte datagram out and a 4-byte answer back, the
// exchange of one DATA block and its ACK, between two processes.
double loopback_round_trip_us(int exchanges) {
  int a = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int b = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(LOOPBACK);
  socklen_t length = sizeof sa;
  sockaddr_in sb = sa;
  if (::bind(a, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::bind(b, reinterpret_cast<sockaddr*>(&sb), sizeof sb) != 0)
    fail("cannot bind on loopback");
  ::getsockname(a, reinterpret_cast<sockaddr*>(&sa), &length);
  ::getsockname(b, reinterpret_cast<sockaddr*>(&sb), &length);
  const int total = exchanges + 200;  // the first 200 warm up
  simtest::Process echo([&] {
    char buffer[1024];
    for (int i = 0; i < total; ++i) {
      if (::recv(b, buffer, sizeof buffer, 0) < 0) return 1;
      ::sendto(b, buffer, 4, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    return 0;
  });
  char block[516] = {0, 3};
  std::vector<double> times;
  for (int i = 0; i < total; ++i) {
    long long start = now_ns();
    ::sendto(a, block, sizeof block, 0, reinterpret_cast<sockaddr*>(&sb), sizeof sb);
    char answer[16];
    if (::recv(a, answer, sizeof answer, 0) < 0) fail("round trip: no answer");
    if (i >= 200) times.push_back((now_ns() - start) / 1e3);
  }
  echo.finish(5s);
  ::close(a);
  ::close(b);
  return stats_of(times).median;
}

// ---- downloads ----

struct Client {
  std::string name;
  // The client's arguments for a port; OUT stands for the output file.
  std::vector<std::string> (*command)(const std::string& file_name, int port,
                                      const std::string& out);
};

std::vector<std::string> curl_command(const std::string& file_name, int port,
                                      const std::string& out) {
  // Two slashes: curl drops the first one of the path. It asks for
  // 512-byte blocks by itself (blksize 512, tsize, timeout).
  return {"curl",
          "--silent",
          "--show-error",
          "--max-time",
          "60",
          "--tftp-blksize",
          "512",
          "-o",
          out,
          "tftp://127.0.0.1:" + std::to_string(port) + "/" + file_name};
}

std::vector<std::string> atftp_command(const std::string& file_name, int port,
                                       const std::string& out) {
  // No options: 512-byte blocks.
  return {"atftp", "-g", "-r", file_name, "-l", out, "127.0.0.1", std::to_string(port)};
}

struct Download {
  double ms = 0;
  bool ok = false;
};

Download timed_download(const Client& client, const std::string& file_name, int port,
                        const std::string& out, const std::string& expected,
                        bool keep_stderr = true) {
  ::unlink(out.c_str());
  std::vector<std::string> args = client.command(file_name, port, out);
  long long start = now_ns();
  simtest::Process c(
      args,
      {.null_input = true, .output = simtest::Output::discard, .discard_errors = !keep_stderr});
  int code = c.finish(90s);
  Download d;
  d.ms = (now_ns() - start) / 1e6;
  d.ok = code == 0 && simtest::read_text(out) == expected;
  return d;
}

// One download from a fresh listener process; the listener must end by
// itself after the transfer, as the wizard does.
Download download_from_ours(const std::string& serve, const Client& client,
                            const std::string& file_name, const std::string& out,
                            const std::string& expected) {
  simtest::Process server({serve, file_name}, SERVE_STREAMS);
  int port = serve_port(server);
  Download d = timed_download(client, file_name, port, out, expected);
  if (server.finish(30s) != 0) {
    std::fprintf(stderr, "qel-bench: our listener did not end cleanly after a %s download\n",
                 client.name.c_str());
    d.ok = false;
  }
  return d;
}

}  // namespace

// ---- transfer benchmark ----

int run_transfer(const std::string& serve, int rounds, int hpa_port) {
  simtest::TempDir dir("qel-bench");
  std::string root = dir.file("root");
  ::mkdir(root.c_str(), 0755);
  // A name of the wizard's kind, "/qel%x.bi1".
  char file_name[32];
  std::snprintf(file_name, sizeof file_name, "/qel%x.bi1",
                static_cast<unsigned>(now_ns() & 0x7fff));
  std::string image_path = root + file_name;
  if (simtest::Process({serve, "--write-image", image_path}, QUIET).finish(10s) != 0)
    fail("cannot write the embedded image");
  ::chmod(image_path.c_str(), 0644);
  const std::string image = simtest::read_text(image_path);
  const std::string out = dir.file("download.bin");

  // In a namespace with nothing but loopback tftpd-hpa cannot resolve
  // "127.0.0.1:PORT" (exit code 66); any address of IPv4 there is loopback.
  simtest::Process hpa(
      {"in.tftpd", "-4", "-L", "-u", "root", "-s", root, "-a", ":" + std::to_string(hpa_port)},
      QUIET);
  const std::vector<Client> clients = {{"curl", curl_command}, {"atftp", atftp_command}};

  // tftpd-hpa is up once a download works; these and one download of each
  // kind from ours warm the caches and are not counted.
  bool hpa_up = false;
  for (int i = 0; i < 50 && !hpa_up; ++i) {
    hpa_up = timed_download(clients[1], file_name, hpa_port, out, image, false).ok;
    if (!hpa_up) ::usleep(100000);
  }
  if (!hpa_up) fail("tftpd-hpa does not serve on port " + std::to_string(hpa_port));
  for (const Client& c : clients) {
    if (!download_from_ours(serve, c, file_name, out, image).ok)
      fail(c.name + " could not download from our listener");
    if (!timed_download(c, file_name, hpa_port, out, image).ok)
      fail(c.name + " could not download from tftpd-hpa");
  }

  // Round r: curl from ours, curl from tftpd-hpa, atftp from ours, atftp
  // from tftpd-hpa.
  std::map<std::string, std::vector<double>> ours, theirs;
  int failures = 0;
  for (int r = 0; r < rounds; ++r) {
    for (const Client& c : clients) {
      Download a = download_from_ours(serve, c, file_name, out, image);
      Download b = timed_download(c, file_name, hpa_port, out, image);
      if (a.ok) ours[c.name].push_back(a.ms);
      if (b.ok) theirs[c.name].push_back(b.ms);
      failures += !a.ok + !b.ok;
      std::printf("  round %2d  %-5s  ours %7.1f ms%s   tftpd-hpa %7.1f ms%s\n", r + 1,
                  c.name.c_str(), a.ms, a.ok ? "" : " (FAILED)", b.ms, b.ok ? "" : " (FAILED)");
      std::fflush(stdout);
    }
  }
  hpa.stop(5s);

  double rtt = loopback_round_trip_us(5000);
  std::printf(
      "\nTransfer of the embedded Target image (%zu bytes, %d blocks of 512 bytes), "
      "client wall time, %d rounds:\n",
      image.size(), IMAGE_BLOCKS, rounds);
  std::printf("  %-6s %-10s %9s %9s %9s   %s\n", "client", "server", "median", "min", "max",
              "ours/tftpd-hpa (medians)");
  for (const Client& c : clients) {
    Stats a = stats_of(ours[c.name]);
    Stats b = stats_of(theirs[c.name]);
    std::printf("  %-6s %-10s %6.1f ms %6.1f ms %6.1f ms\n", c.name.c_str(), "ours", a.median,
                a.min, a.max);
    std::printf("  %-6s %-10s %6.1f ms %6.1f ms %6.1f ms   %.2f %s\n", c.name.c_str(), "tftpd-hpa",
                b.median, b.min, b.max, b.median > 0 ? a.median / b.median : 0.0,
                b.median > 0 && a.median <= 1.1 * b.median ? "(goal <= 1.10: met)"
                                                           : "(goal <= 1.10: MISSED)");
  }
  std::printf("  loopback UDP round trip (516 bytes out, 4 back), median of 5000: %.1f us\n", rtt);
  std::printf("  lock-step limit: %.1f us x %d blocks = %.1f ms\n", rtt, IMAGE_BLOCKS,
              rtt * IMAGE_BLOCKS / 1000);
  if (failures) std::printf("  %d downloads FAILED and are left out\n", failures);
  return failures ? 1 : 0;
}

// ---- resend timing at real speed ----

int run_timing(const std::string& serve, bool until_given_up) {
  simtest::TempDir dir("qel-bench");
  const std::string transcript = dir.file("transcript.jsonl");
  const std::string name = "/qel7e57.bi1";
  simtest::Process server({serve, name, transcript}, SERVE_STREAMS);
  auto port = static_cast<std::uint16_t>(serve_port(server));

  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in me{};
  me.sin_family = AF_INET;
  me.sin_addr.s_addr = htonl(LOOPBACK);
  sockaddr_in server_address = me;
  server_address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof me) != 0) fail("cannot bind on loopback");
  auto send = [&](const std::string& packet) {
    ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&server_address),
             sizeof server_address);
  };
  auto ack = [](int block) {
    return std::string{0, 4, static_cast<char>(block >> 8), static_cast<char>(block & 0xff)};
  };
  // The next packet (-1 when none came in time), and when: the OACK, or a
  // DATA packet's opcode and block number.
  const int OACK = 6 << 16, DATA = 3 << 16;
  auto next = [&](int timeout_ms, long long* at) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return -1;
    unsigned char packet[1024];
    ssize_t n = ::recv(fd, packet, sizeof packet, 0);
    *at = now_ns();
    if (n >= 2 && packet[1] == 6) return OACK;
    return n < 4 ? -1 : packet[1] << 16 | packet[2] << 8 | packet[3];
  };

  send(std::string("\0\1", 2) + name + std::string("\0octet\0", 7));
  long long t = 0, sent = 0, again = 0;
  if (next(5000, &t) != OACK) fail("timing: no OACK");
  send(ack(0));
  if (next(5000, &sent) != (DATA | 1)) fail("timing: no block 1");
  // Its acknowledgement is "lost": the block comes again.
  if (next(5000, &again) != (DATA | 1)) fail("timing: block 1 was not resent");
  send(ack(1));
  long long last_new = 0;
  if (next(5000, &last_new) != (DATA | 2)) fail("timing: no block 2");

  std::printf("\nResend timing at real speed (our listener, the embedded image):\n");
  std::printf("  %-44s block resent after %.3f s\n",
              "one lost acknowledgement:", (again - sent) / 1e9);
  if (!until_given_up) {
    server.stop();
    ::close(fd);
    return 0;
  }

  // Silence for good: block 2 comes again until the server gives up, which
  // the wait after the transfer shows (its bar's range of 937 ticks).
  std::vector<long long> resends;
  long long gave_up = 0;
  long long deadline = now_ns() + 90 * 1000000000LL;
  while (!gave_up && now_ns() < deadline) {
    long long at = 0;
    int packet = next(5, &at);
    if (packet == (DATA | 2)) {
      resends.push_back(at);
    } else if (packet != -1) {
      fail("timing: unexpected packet");
    }
    if (simtest::read_text(transcript).find("\"high\":937") != std::string::npos)
      gave_up = now_ns();
  }
  server.finish(10s);
  ::close(fd);
  if (!gave_up || resends.empty()) fail("timing: the server did not give up in 90 s");

  std::printf(
      "  %-44s %zu resends, every %.3f s on average; given up %.1f s after the block "
      "(goal about 47 s)\n",
      "a device silent for good:", resends.size(),
      (resends.back() - last_new) / 1e9 / static_cast<double>(resends.size()),
      (gave_up - last_new) / 1e9);
  return 0;
}

}  // namespace bench

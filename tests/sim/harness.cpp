#include "harness.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace simtest {

TempDir::TempDir() {
  char tmpl[] = "/tmp/qel-sim-test-XXXXXX";
  if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  // tftpd-hpa drops to an unprivileged user and must still read the files.
  std::filesystem::permissions(path_, std::filesystem::perms(0755));
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  auto until = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

Bytes make_image(size_t size, const std::string& version, const std::string& magic) {
  Bytes image(size);
  std::mt19937 rng{unsigned(size)};
  for (auto& b : image) b = static_cast<unsigned char>(rng());
  if (size >= 128) {
    std::fill(image.begin(), image.begin() + 128, 0);
    std::copy(magic.begin(), magic.end(), image.begin());
    std::copy(version.begin(), version.end(), image.begin() + 92);
    image[127] = 0x0f;
  }
  return image;
}

int run_program(const std::vector<std::string>& argv, std::string* out) {
  int pipefd[2];
  if (::pipe(pipefd) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipefd[1], 1);
    ::close(pipefd[0]);
    ::close(pipefd[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipefd[1]);
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0) text.append(buf, size_t(n));
  ::close(pipefd[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Sim::Sim(std::vector<std::string> args, const std::string& address) : address_(address) {
  std::vector<std::string> argv = {QEL_DEVICE_SIM,
                                   "--address",
                                   address,
                                   "--http-port",
                                   "0",
                                   "--port-file",
                                   dir_.file("port"),
                                   "--log",
                                   dir_.file("log"),
                                   "--verdict",
                                   dir_.file("verdict.json"),
                                   "--time-limit",
                                   "30"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = ::fork();
  if (pid_ == 0) {
    std::vector<char*> cargs;
    for (auto& a : argv) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    ::execv(cargs[0], cargs.data());
    ::_exit(127);
  }
  bool up = wait_until(
      [&] { return read_text(dir_.file("port")).rfind("http=", 0) == 0 || wait_exit(0ms); }, 5s);
  std::string text = read_text(dir_.file("port"));
  if (!up || text.rfind("http=", 0) != 0) throw std::runtime_error("simulator did not start");
  port_ = uint16_t(std::stoi(text.substr(5)));
}

Sim::~Sim() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool Sim::wait_log(const std::string& needle, std::chrono::milliseconds timeout) const {
  return wait_until([&] { return log().find(needle) != std::string::npos; }, timeout);
}

bool Sim::wait_exit(std::chrono::milliseconds timeout) {
  return wait_until(
      [&] {
        if (pid_ <= 0) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return true;
      },
      timeout);
}

std::string Sim::stop() {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
  wait_exit(10s);
  return read_text(dir_.file("verdict.json"));
}

HttpReply http_exchange(const std::string& address, uint16_t port, const std::string& request,
                        std::chrono::milliseconds timeout) {
  HttpReply reply;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return reply;
  }
  reply.connected = true;
  auto start = std::chrono::steady_clock::now();
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  for (;;) {
    auto left = timeout - (std::chrono::steady_clock::now() - start);
    if (left <= 0ms) break;
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1,
               int(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1) <= 0)
      continue;
    char buf[8192];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      reply.closed = true;
      break;
    }
    reply.text.append(buf, size_t(n));
  }
  reply.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  ::close(fd);
  return reply;
}

std::string product_request(const std::string& path, const std::string& authorization_line) {
  return "GET " + path + " HTTP/1.1\r\nHost: 192.168.2.110\r\n" + authorization_line + "\r\n";
}

int status_of(const std::string& response) {
  if (response.size() < 12 || response.rfind("HTTP/1.", 0) != 0) return 0;
  return std::atoi(response.substr(9, 3).c_str());
}

std::string json_value(const std::string& json, const std::string& key, size_t from) {
  size_t at = json.find("\"" + key + "\":", from);
  if (at == std::string::npos) return "<absent>";
  at += key.size() + 3;
  size_t end = at;
  if (json[at] == '"') {
    end = json.find('"', at + 1) + 1;
  } else if (json[at] == '[') {
    end = json.find(']', at) + 1;
  } else {
    end = json.find_first_of(",}", at);
  }
  return json.substr(at, end - at);
}

std::string md5(const std::string& s, bool hex) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(s.data(), s.size(), d, &n, EVP_md5(), nullptr);
  if (!hex) return std::string(reinterpret_cast<char*>(d), n);
  std::string out;
  char two[3];
  for (unsigned i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", d[i]);
    out += two;
  }
  return out;
}

std::string directive(const std::string& text, const std::string& name) {
  size_t at = text.find(name + "=\"");
  if (at == std::string::npos) return "";
  at += name.size() + 2;
  return text.substr(at, text.find('"', at) - at);
}

std::string ProductAuth::line(const std::string& response) const {
  std::string realm = directive(response, "realm"), nonce = directive(response, "nonce"),
              qop = directive(response, "qop"), algorithm = directive(response, "algorithm"),
              opaque = directive(response, "opaque");
  std::string ha1 = md5(user + ":" + realm + ":" + password);
  if (algorithm == "MD5-sess") {
    std::string first = hex_sess ? ha1 : md5(user + ":" + realm + ":" + password, false);
    ha1 = md5(first + ":" + nonce + ":" + cnonce);
  }
  std::string ha2 = md5("GET:" + uri + (qop == "auth-int" ? ":" + md5("") : ""));
  char ncs[16];
  std::snprintf(ncs, sizeof ncs, "%09x", nc);
  std::string resp =
      qop.empty() ? md5(ha1 + ":" + nonce + ":" + ha2)
                  : md5(ha1 + ":" + nonce + ":" + ncs + ":" + cnonce + ":" + qop + ":" + ha2);
  std::string out = "Authorization: Digest username=\"" + user + "\",realm=\"" + realm +
                    "\",nonce=\"" + nonce + "\",uri=\"" + uri + "\",algorithm=\"" + algorithm +
                    "\",response=\"" + resp + "\"";
  if (!opaque.empty()) out += ",opaque=\"" + opaque + "\"";
  if (!qop.empty()) out += ",qop=" + qop + ",nc=" + ncs + ",cnonce=\"" + cnonce + "\"";
  return out + "\r\n";
}

int bind_udp(const std::string& address, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
    throw std::runtime_error("udp bind failed");
  return fd;
}

uint16_t udp_port(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

std::optional<Datagram> recv_datagram(int fd, std::chrono::milliseconds timeout) {
  pollfd pfd{fd, POLLIN, 0};
  if (::poll(&pfd, 1, int(timeout.count())) <= 0) return std::nullopt;
  Datagram d;
  d.data.resize(65536);
  socklen_t len = sizeof d.from;
  ssize_t n =
      ::recvfrom(fd, d.data.data(), d.data.size(), 0, reinterpret_cast<sockaddr*>(&d.from), &len);
  if (n < 0) return std::nullopt;
  d.data.resize(size_t(n));
  d.at = std::chrono::steady_clock::now();
  return d;
}

void send_datagram(int fd, const sockaddr_in& to, const Bytes& data) {
  ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

uint16_t opcode(const Bytes& d) { return d.size() >= 2 ? uint16_t(d[0] << 8 | d[1]) : 0; }
uint16_t block_of(const Bytes& d) { return d.size() >= 4 ? uint16_t(d[2] << 8 | d[3]) : 0; }

}  // namespace simtest

#include "support/sim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sstream>
#include <stdexcept>

namespace simtest {

namespace {

std::vector<std::string> sim_command(const std::string& program, const std::string& address,
                                     const TempDir& dir, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {program,
                                   "--address",
                                   address,
                                   "--http-port",
                                   "0",
                                   "--port-file",
                                   dir.file("port"),
                                   "--log",
                                   dir.file("log"),
                                   "--verdict",
                                   dir.file("verdict.json"),
                                   "--time-limit",
                                   patient_seconds(30)};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace

Sim::Sim(std::vector<std::string> args, const std::string& address, const std::string& program)
    : address_(address), process_(sim_command(program, address, dir_, args)) {
  port_ = wait_port_file(dir_.file("port"), "http", process_, patient(5s));
  if (!port_) throw std::runtime_error("simulator did not start");
}

bool Sim::wait_log(const std::string& needle, std::chrono::milliseconds timeout) const {
  return wait_until([&] { return log().find(needle) != std::string::npos; }, timeout);
}

std::string Sim::stop() {
  process_.stop(patient(10s));
  return read_text(dir_.file("verdict.json"));
}

std::vector<std::string> log_lines_starting(const std::string& log, const std::string& prefix) {
  std::vector<std::string> found;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  return found;
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

nlohmann::ordered_json parse_json(const std::string& text) {
  nlohmann::ordered_json json = nlohmann::ordered_json::parse(text, nullptr, false);
  return json.is_discarded() ? nullptr : json;
}

namespace {

const nlohmann::ordered_json* first_named(const nlohmann::ordered_json& json,
                                          const std::string& key) {
  if (json.is_object()) {
    for (const auto& [name, value] : json.items()) {
      if (name == key) return &value;
      if (const auto* found = first_named(value, key)) return found;
    }
  } else if (json.is_array()) {
    for (const auto& element : json)
      if (const auto* found = first_named(element, key)) return found;
  }
  return nullptr;
}

}  // namespace

std::string json_value(const std::string& json, const std::string& key) {
  const nlohmann::ordered_json parsed = parse_json(json);
  const nlohmann::ordered_json* value = first_named(parsed, key);
  return value ? value->dump() : "<absent>";
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

}  // namespace simtest

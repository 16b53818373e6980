#include "support/files.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace simtest {

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
  path_ = pattern;
  // tftpd-hpa drops to an unprivileged user and must still read the files.
  std::filesystem::permissions(path_, std::filesystem::perms(0755));
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  try {
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  } catch (const std::ios_base::failure&) {
    // The file buffer throws when a read fails after the open: a /proc file
    // whose process ended in between (ESRCH). That reads as no such file.
    return {};
  }
}

void write_bytes(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  auto until = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

}  // namespace simtest

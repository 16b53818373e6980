// Files and folders of the tests and the benchmark.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace simtest {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

// A private folder under /tmp, removed with its contents.
class TempDir {
 public:
  // prefix: the folder's name before its random part.
  explicit TempDir(const std::string& prefix = "qel-sim-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// "" when there is no such file, or when it went while being read (the /proc
// files of a process that ended).
std::string read_text(const std::string& path);
void write_bytes(const std::string& path, const Bytes& data);
// Throws std::runtime_error when the file cannot be written.
void write_text(const std::string& path, const std::string& text);

// Checks cond every 10 ms until it holds (true) or the time is up (false).
bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

}  // namespace simtest

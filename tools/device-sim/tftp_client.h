// The device's TFTP client: fetches one firmware image (RFC 1350 with the
// option extension of RFC 2347/2349), with optional injected faults.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "event_log.h"

namespace sim {

struct TransferResult {
  std::string file;
  std::string server;  // where the read request went
  std::string peer;    // who answered it (the server's transfer ID); empty if nobody
  bool complete = false;
  std::vector<unsigned char> data;
  std::optional<uint64_t> tsize;  // as announced in the OACK
  size_t block_size = 512;
  std::vector<std::string> unrequested_options;
  std::optional<bool> wrong_name_answered;  // only with --wrong-name-first
  std::string error;                        // empty when complete
  double seconds = 0;                       // from the read request to the end
};

class TftpClient {
 public:
  TftpClient(const Config& cfg, EventLog& log, const std::atomic<bool>& stop);
  TransferResult fetch(const sockaddr_in& server, const std::string& file);

 private:
  const Config& cfg_;
  EventLog& log_;
  const std::atomic<bool>& stop_;
};

}  // namespace sim

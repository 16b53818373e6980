// What the device concluded about the images it received, as JSON.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tftp_client.h"

namespace sim {

// The first 128 bytes of an image: a magic text in bytes 0..15 and a
// NUL-terminated version text in bytes 92..127.
struct FirmwareHeader {
  bool ok = false;
  std::string magic;
  std::string version;
  std::string problem;  // why it is not ok
};

FirmwareHeader inspect_header(const std::vector<unsigned char>& image);
std::string sha256_hex(const std::vector<unsigned char>& data);

struct TransferRecord {
  TransferResult result;
  FirmwareHeader header;
  std::string sha256;
  std::optional<bool> identical;  // against the matching --reference, if any
};

struct Summary {
  unsigned upgrade_requests = 0;
  unsigned reboots = 0;
  std::vector<TransferRecord> transfers;
  std::string reported_version;
  std::optional<bool> reference_match;  // unset without --reference
};

std::string to_json(const Summary& s);
// Writes atomically (temporary file, then rename). Throws std::runtime_error.
void write_file_atomically(const std::string& path, const std::string& text);

}  // namespace sim

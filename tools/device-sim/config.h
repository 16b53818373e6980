// Everything the command line can set.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// Which acknowledgements a TFTP fault applies to: each one with a probability,
// or the first acknowledgement of the listed block numbers.
struct AckSelector {
  double probability = 0.0;
  std::set<uint32_t> blocks;
  bool active() const { return probability > 0.0 || !blocks.empty(); }
};

enum class NoncePolicy { Fixed, Rotate, Expire };
enum class SessForm { Any, Raw, Hex };

struct Config {
  // Where the device lives.
  std::string address = "127.0.0.2";
  uint16_t http_port = 80;
  bool allow_any_address = false;

  // What the information page shows.
  std::string product = "QEL-742";
  std::string mac = "00:0E:08:12:34:56";
  std::string software = "5.1.2(GR)";
  std::string hardware = "1.0.3";
  std::string serial = "FM500012345";

  // Digest protection (off while the password is empty).
  std::string user = "admin";
  std::string password;
  std::string realm = "QEL Device";
  NoncePolicy nonce_policy = NoncePolicy::Fixed;
  unsigned nonce_uses = 0;  // for NoncePolicy::Expire
  std::string qop;          // "", "auth", "auth-int", "auth,auth-int"
  std::string algorithm;    // "", "MD5", "MD5-sess"
  bool opaque = false;
  size_t nonce_length = 32;
  SessForm sess_form = SessForm::Any;
  bool nc_check = false;  // refuse a nonce count sent before with the same nonce

  // HTTP faults.
  bool http_refuse = false;
  bool http_hang = false;
  bool http_close_without_answer = false;
  double http_keep_open_seconds = 0.0;
  double hold_upgrade_seconds = 0.0;
  bool http10_status = false;
  bool no_challenge = false;

  // Upgrade behaviour.
  std::vector<std::pair<std::string, std::string>> rrq_options = {{"tsize", "0"}, {"timeout", "5"}};
  unsigned tftp_timeout_ms = 1000;
  unsigned tftp_tries = 5;
  double reboot_seconds = 20.0;
  std::string report_version;
  bool never_return = false;
  bool omit_version_after_reboot = false;

  // TFTP faults.
  AckSelector ack_drop, ack_dup, ack_delay, ack_reorder;
  unsigned ack_delay_ms = 200;
  bool never_ack = false;
  std::optional<uint32_t> error_on_block;
  bool ack_from_other_port = false;
  std::optional<uint32_t> second_rrq_after_block;
  std::string wrong_name_first;
  unsigned wrong_name_pause_ms = 1000;
  uint64_t seed = 1;

  // Outputs and lifetime.
  std::string log_path;
  std::string verdict_path;
  std::string port_file;
  std::vector<std::string> references;
  double time_limit_seconds = 120.0;
  // Off (connections refused, nothing fetched) until this long after the start.
  double up_after_seconds = 0.0;
};

// Parses argv into cfg. Returns nothing when the device should run, or the
// exit code when the command line ends the run here: 0 after printing --help,
// 2 after printing what is wrong with it.
std::optional<int> parse_command_line(int argc, char** argv, Config& cfg);

}  // namespace sim

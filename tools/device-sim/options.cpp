#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "config.h"

namespace sim {
namespace {

// Decimal digits only: CLI11's own conversion would read a leading 0 as octal
// and take a sign, neither of which any flag ever meant. A number beyond 64
// bits reads as the largest one, so it fails every bound but the seed's.
bool read_decimal(const std::string& text, unsigned long long& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

unsigned long long to_uint(const std::string& text, const std::string& opt,
                           unsigned long long max) {
  unsigned long long value = 0;
  if (!read_decimal(text, value))
    throw CLI::ValidationError(opt, "expected a non-negative integer, got '" + text + "'");
  if (value > max) throw CLI::ValidationError(opt, "value too large");
  return value;
}

// A whole number in [min, max]. Leading zeros are dropped here so that CLI11
// converts what is left as the decimal number it is.
CLI::Validator whole(unsigned long long min, unsigned long long max) {
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        unsigned long long value = 0;
        if (!read_decimal(text, value))
          return "expected a non-negative integer, got '" + text + "'";
        if (value < min || value > max)
          return "expected an integer in [" + std::to_string(min) + ", " + std::to_string(max) +
                 "]";
        text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
        return {};
      },
      "");
}

// A number in [min, max]: the reason it is not, or nothing. Unlike
// CLI::Range, this refuses NaN.
std::string not_real(const std::string& text, double min, double max) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !(value >= min && value <= max))
    return "expected a number in [" + std::to_string(min) + ", " + std::to_string(max) + "]";
  return {};
}

CLI::Validator real(double min, double max) {
  return CLI::Validator([min, max](const std::string& text) { return not_real(text, min, max); },
                        "");
}

// One of the listed words (the option's description lists them already).
// CLI::IsMember would print its list in braces, where "auth,auth-int" reads
// as two words.
CLI::Validator one_of(std::vector<std::string> words) {
  std::string list;
  for (size_t i = 0; i < words.size(); ++i)
    list += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
  return CLI::Validator(
      [words = std::move(words), list](const std::string& text) -> std::string {
        if (std::find(words.begin(), words.end(), text) != words.end()) return {};
        return "expected " + list + ", got '" + text + "'";
      },
      "");
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// "p=0.1", "all", or block numbers and ranges: "3,7,10-12".
AckSelector to_selector(const std::string& text, const std::string& opt) {
  AckSelector sel;
  if (text == "all") {
    sel.probability = 1.0;
  } else if (text.rfind("p=", 0) == 0) {
    std::string probability = text.substr(2);
    if (std::string why = not_real(probability, 0.0, 1.0); !why.empty())
      throw CLI::ValidationError(opt, why);
    sel.probability = std::strtod(probability.c_str(), nullptr);
  } else {
    for (const std::string& item : split(text, ',')) {
      size_t dash = item.find('-');
      auto lo = uint32_t(to_uint(item.substr(0, dash), opt, 0xffffffffu));
      auto hi = dash == std::string::npos
                    ? lo
                    : uint32_t(to_uint(item.substr(dash + 1), opt, 0xffffffffu));
      if (hi < lo || hi - lo > 100000)
        throw CLI::ValidationError(opt, "bad block range '" + item + "'");
      for (uint32_t b = lo;; ++b) {
        sel.blocks.insert(b);
        if (b == hi) break;
      }
    }
  }
  return sel;
}

void add_options(CLI::App& app, Config& c) {
  // A flag given twice is the same as once; a value given twice, the last one.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  // Every option goes into the group of the heading above it.
  auto heading = [&app](const char* name) { app.option_defaults()->group(name); };

  auto text = [&app](const char* name, std::string& field, const char* type, const char* help) {
    app.add_option(name, field, help)->type_name(type);
  };
  auto flag = [&app](const char* name, bool& field, const char* help) {
    app.add_flag(name, field, help)->disable_flag_override();
  };
  auto number = [&app](const char* name, auto& field, unsigned long long min,
                       unsigned long long max, const char* type, const char* help) {
    app.add_option(name, field, help)->type_name(type)->transform(whole(min, max));
  };
  auto seconds = [&app](const char* name, double& field, double min, double max, const char* help) {
    app.add_option(name, field, help)->type_name("SECONDS")->check(real(min, max));
  };
  // A value with a syntax of its own, read by `read` (which throws
  // CLI::ValidationError), at each use in order, as the command line says.
  auto parsed = [&app](const char* name, const char* type, const char* help,
                       std::function<void(const std::string&)> read) {
    return app.add_option_function<std::string>(name, std::move(read), help)
        ->type_name(type)
        ->trigger_on_parse();
  };
  auto selector = [&parsed](const char* name, AckSelector& field, const char* help) {
    parsed(name, "WHICH", help,
           [&field, name](const std::string& v) { field = to_selector(v, name); });
  };
  auto block = [&parsed](const char* name, std::optional<uint32_t>& field, const char* help) {
    parsed(name, "N", help, [&field, name](const std::string& v) {
      field = uint32_t(to_uint(v, name, 0xffffffffu));
    });
  };

  heading("Device address");
  text("--address", c.address, "IPV4",
       "address to serve on; loopback only unless --allow-any-address (default 127.0.0.2)");
  number("--http-port", c.http_port, 0, 65535, "PORT",
         "TCP port of the web server, 0 = any free port (default 80)");
  flag("--allow-any-address", c.allow_any_address,
       "permit non-loopback addresses (only inside a private network namespace)");

  heading("Information page");
  text("--product", c.product, "TEXT", "Product Name value (default QEL-742)");
  text("--mac", c.mac, "TEXT", "MAC Address value (default 00:0E:08:12:34:56)");
  text("--software", c.software, "TEXT",
       "Software Version value before any upgrade (default 5.1.2(GR))");
  text("--hardware", c.hardware, "TEXT", "Hardware Version value (default 1.0.3)");
  text("--serial", c.serial, "TEXT", "Serial Number value (default FM500012345)");

  heading("Digest protection (on when --password is given)");
  text("--user", c.user, "NAME", "user name (default admin)");
  text("--password", c.password, "TEXT", "password; empty = no protection");
  text("--realm", c.realm, "TEXT", "realm, any length (default \"QEL Device\")");
  parsed("--nonce-policy", "POLICY",
         "fixed (one nonce per boot), rotate (new nonce on every 401) or expire:N (new nonce "
         "after N accepted uses)",
         [&c](const std::string& v) {
           if (v == "fixed") {
             c.nonce_policy = NoncePolicy::Fixed;
           } else if (v == "rotate") {
             c.nonce_policy = NoncePolicy::Rotate;
           } else if (v.rfind("expire:", 0) == 0) {
             c.nonce_policy = NoncePolicy::Expire;
             c.nonce_uses = unsigned(to_uint(v.substr(7), "--nonce-policy", 1000000));
             if (c.nonce_uses == 0)
               throw CLI::ValidationError("--nonce-policy", "expire:N needs N >= 1");
           } else {
             throw CLI::ValidationError("--nonce-policy", "expected fixed, rotate or expire:N");
           }
         });
  parsed("--qop", "QOP", "qop offered: none, auth, auth-int or auth,auth-int (default none)",
         [&c](const std::string& v) { c.qop = v == "none" ? "" : v; })
      ->check(one_of({"none", "auth", "auth-int", "auth,auth-int"}));
  parsed("--algorithm", "ALG", "algorithm offered: none, MD5 or MD5-sess (default none)",
         [&c](const std::string& v) { c.algorithm = v == "none" ? "" : v; })
      ->check(one_of({"none", "MD5", "MD5-sess"}));
  flag("--opaque", c.opaque, "send an opaque value and require it back");
  number("--nonce-length", c.nonce_length, 1, 1000000, "N",
         "characters in each nonce, e.g. 4000 for an over-long one (default 32)");
  parsed("--md5-sess-form", "FORM",
         "which MD5-sess H(A1) to accept: raw (MD5 over the 16 raw bytes, this product's form), "
         "hex (the usual form over the hex text) or any (default any)",
         [&c](const std::string& v) {
           c.sess_form = v == "raw" ? SessForm::Raw : v == "hex" ? SessForm::Hex : SessForm::Any;
         })
      ->check(one_of({"any", "raw", "hex"}));
  flag("--nc-check", c.nc_check,
       "refuse (401) a request repeating a nonce count already sent with the same nonce, checked "
       "first and remembered across reflashes");

  heading("HTTP faults");
  flag("--http-refuse", c.http_refuse,
       "refuse every connection (the port is reserved but not listening)");
  flag("--http-hang", c.http_hang,
       "accept and read the request, then never answer (close only when the client does)");
  flag("--http-close-without-answer", c.http_close_without_answer,
       "read the request, then close without answering");
  seconds("--http-keep-open", c.http_keep_open_seconds, 0, 3600,
          "keep the connection open this long after the response (or until the client closes)");
  seconds("--hold-upgrade-request", c.hold_upgrade_seconds, 0, 3600,
          "keep only an accepted upgrade request's connection open this long after the response "
          "(or until the client closes); the upgrade goes ahead meanwhile");
  flag("--http10-status", c.http10_status, "answer with an HTTP/1.0 status line");
  flag("--no-challenge", c.no_challenge,
       "send 401 without WWW-Authenticate to every request lacking valid credentials (every "
       "request when no password is set)");

  heading("Upgrade");
  parsed("--rrq-options", "LIST",
         "options of the read request as name=value pairs separated by commas, or none (default "
         "tsize=0,timeout=5; e.g. tsize=0,timeout=5,blksize=1428)",
         [&c](const std::string& v) {
           c.rrq_options.clear();
           if (v == "none") return;
           for (const std::string& item : split(v, ',')) {
             size_t eq = item.find('=');
             if (eq == 0 || eq == std::string::npos)
               throw CLI::ValidationError("--rrq-options",
                                          "expected name=value, got '" + item + "'");
             c.rrq_options.emplace_back(item.substr(0, eq), item.substr(eq + 1));
           }
         });
  number("--tftp-timeout-ms", c.tftp_timeout_ms, 0, 3600000, "MS",
         "resend the last ACK or read request after this much silence (default 1000)");
  number("--tftp-tries", c.tftp_tries, 1, 1000, "N",
         "give up after this many silent intervals in a row (default 5)");
  seconds("--reboot-seconds", c.reboot_seconds, 0, 3600,
          "time offline while reflashing (default 20)");
  text("--report-version", c.report_version, "TEXT",
       "version to report after a reflash instead of the image's");
  flag("--never-return", c.never_return, "stay offline after the first reflash");
  flag("--omit-version-after-reboot", c.omit_version_after_reboot,
       "after a reflash, leave the Software Version row out of the page");

  heading(
      "TFTP faults (WHICH = p=PROBABILITY, all, or block numbers like 3,7,10-12; block lists "
      "affect only the first ACK of each block; block 0 acknowledges the OACK)");
  selector("--ack-drop", c.ack_drop, "do not send these ACKs");
  selector("--ack-dup", c.ack_dup, "send these ACKs twice");
  selector("--ack-delay", c.ack_delay, "send these ACKs late, see --ack-delay-ms");
  number("--ack-delay-ms", c.ack_delay_ms, 0, 3600000, "MS", "delay for --ack-delay (default 200)");
  selector("--ack-reorder", c.ack_reorder,
           "follow these ACKs by a stale ACK of the previous block (old ACK overtaken)");
  flag("--never-ack", c.never_ack, "never send any ACK");
  block("--error-on-block", c.error_on_block,
        "answer DATA block N with a TFTP ERROR and abandon the transfer");
  flag("--ack-from-other-port", c.ack_from_other_port, "send ACKs from a second UDP socket");
  block("--second-rrq-after-block", c.second_rrq_after_block,
        "after acknowledging block N, send the read request again");
  text("--wrong-name-first", c.wrong_name_first, "NAME",
       "first ask for NAME, then for the right file after a pause");
  number("--wrong-name-pause-ms", c.wrong_name_pause_ms, 0, 3600000, "MS",
         "pause after the wrong read request (default 1000)");
  number("--seed", c.seed, 0, ~0ull, "N", "seed for the probabilistic faults (default 1)");

  heading("Outputs and lifetime");
  text("--log", c.log_path, "FILE", "write received requests and packets as one event per line");
  text("--verdict", c.verdict_path, "FILE", "write a JSON summary at exit");
  // One file per --reference, all of them, in order.
  app.add_option("--reference", c.references,
                 "image expected for the next transfer; repeat for a two-stage upgrade")
      ->type_name("FILE")
      ->allow_extra_args(false);
  text("--port-file", c.port_file, "FILE", "write \"http=PORT\" once the port is bound");
  seconds("--time-limit", c.time_limit_seconds, 0.1, 86400,
          "stop by itself after this long (default 120)");
  seconds("--up-after-seconds", c.up_after_seconds, 0, 86400,
          "come up this long after the start, as a device switched on late: until then "
          "connections are refused (the port is reserved but not listening) and nothing is "
          "fetched (default 0)");
  app.set_help_flag("-h,--help", "show this text");
}

}  // namespace

std::optional<int> parse_command_line(int argc, char** argv, Config& cfg) {
  CLI::App app{
      "Stand-in QEL voice device for tests: a web server with digest protection, an upgrade\n"
      "request that makes it fetch firmware over TFTP, a simulated reflash, and fault injection.\n"
      "Options take their value as --name VALUE or --name=VALUE.",
      "qel-device-sim"};
  app.footer("SIGTERM or SIGINT stop it cleanly; the verdict is still written.");
  app.get_formatter()->column_width(34);
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "qel-device-sim: " + std::string(e.what()) + " (see --help)\n";
  });
  add_options(app, cfg);
  // CLI11 wants the arguments reversed. It reads "--name=" as "--name" taking
  // the next argument; here that has always been an empty value.
  std::vector<std::string> args;
  for (int i = argc - 1; i >= 1; --i) {
    std::string arg = argv[i];
    if (arg.size() > 3 && arg.rfind("--", 0) == 0 && arg.back() == '=') {
      args.emplace_back();
      arg.pop_back();
    }
    args.push_back(std::move(arg));
  }
  try {
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    // --help ends the run with 0, every usage error with 2.
    return app.exit(e) == 0 ? 0 : 2;
  }
  return std::nullopt;
}

}  // namespace sim

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"

namespace sim {
namespace {

using Setter = std::function<void(const std::string&)>;

struct OptionDef {
    std::string name;   // without the leading "--"; empty for a heading
    std::string arg;    // empty for a switch
    std::string help;
    Setter set;
};

[[noreturn]] void bad(const std::string& what) { throw std::invalid_argument(what); }

unsigned long long to_uint(const std::string& text, const std::string& opt, unsigned long long max) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        bad("--" + opt + ": expected a non-negative integer, got '" + text + "'");
    unsigned long long v = 0;
    try {
        v = std::stoull(text);
    } catch (const std::out_of_range&) {
        v = ~0ull;
    }
    if (v > max) bad("--" + opt + ": value too large");
    return v;
}

double to_double(const std::string& text, const std::string& opt, double min, double max) {
    size_t used = 0;
    double v = 0;
    try {
        v = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || !(v >= min && v <= max))
        bad("--" + opt + ": expected a number in [" + std::to_string(min) + ", " + std::to_string(max) + "]");
    return v;
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
        sel.probability = to_double(text.substr(2), opt, 0.0, 1.0);
    } else {
        for (const std::string& item : split(text, ',')) {
            size_t dash = item.find('-');
            uint32_t lo = uint32_t(to_uint(item.substr(0, dash), opt, 0xffffffffu));
            uint32_t hi = dash == std::string::npos ? lo : uint32_t(to_uint(item.substr(dash + 1), opt, 0xffffffffu));
            if (hi < lo || hi - lo > 100000) bad("--" + opt + ": bad block range '" + item + "'");
            for (uint32_t b = lo;; ++b) {
                sel.blocks.insert(b);
                if (b == hi) break;
            }
        }
    }
    return sel;
}

std::vector<OptionDef> option_table(Config& c) {
    auto str = [](std::string& field) { return [&field](const std::string& v) { field = v; }; };
    auto flag = [](bool& field) { return [&field](const std::string&) { field = true; }; };
    auto ms = [](unsigned& field, const char* opt) {
        return [&field, opt](const std::string& v) { field = unsigned(to_uint(v, opt, 3600000)); };
    };
    auto sel = [](AckSelector& field, const char* opt) {
        return [&field, opt](const std::string& v) { field = to_selector(v, opt); };
    };
    auto block = [](std::optional<uint32_t>& field, const char* opt) {
        return [&field, opt](const std::string& v) { field = uint32_t(to_uint(v, opt, 0xffffffffu)); };
    };
    auto heading = [](const char* text) { return OptionDef{"", "", text, nullptr}; };

    return {
        heading("Device address"),
        {"address", "IPV4", "address to serve on; loopback only unless --allow-any-address (default 127.0.0.2)",
         str(c.address)},
        {"http-port", "PORT", "TCP port of the web server, 0 = any free port (default 80)",
         [&c](const std::string& v) { c.http_port = uint16_t(to_uint(v, "http-port", 65535)); }},
        {"allow-any-address", "", "permit non-loopback addresses (only inside a private network namespace)",
         flag(c.allow_any_address)},

        heading("Information page"),
        {"product", "TEXT", "Product Name value (default QEL-742)", str(c.product)},
        {"mac", "TEXT", "MAC Address value (default 00:0E:08:12:34:56)", str(c.mac)},
        {"software", "TEXT", "Software Version value before any upgrade (default 5.1.2(GR))", str(c.software)},
        {"hardware", "TEXT", "Hardware Version value (default 1.0.3)", str(c.hardware)},
        {"serial", "TEXT", "Serial Number value (default FM500012345)", str(c.serial)},

        heading("Digest protection (on when --password is given)"),
        {"user", "NAME", "user name (default admin)", str(c.user)},
        {"password", "TEXT", "password; empty = no protection", str(c.password)},
        {"realm", "TEXT", "realm, any length (default \"QEL Device\")", str(c.realm)},
        {"nonce-policy", "POLICY",
         "fixed (one nonce per boot), rotate (new nonce on every 401) or expire:N (new nonce after N accepted uses)",
         [&c](const std::string& v) {
             if (v == "fixed") {
                 c.nonce_policy = NoncePolicy::Fixed;
             } else if (v == "rotate") {
                 c.nonce_policy = NoncePolicy::Rotate;
             } else if (v.rfind("expire:", 0) == 0) {
                 c.nonce_policy = NoncePolicy::Expire;
                 c.nonce_uses = unsigned(to_uint(v.substr(7), "nonce-policy", 1000000));
                 if (c.nonce_uses == 0) bad("--nonce-policy: expire:N needs N >= 1");
             } else {
                 bad("--nonce-policy: expected fixed, rotate or expire:N");
             }
         }},
        {"qop", "QOP", "qop offered: none, auth, auth-int or auth,auth-int (default none)",
         [&c](const std::string& v) {
             if (v != "none" && v != "auth" && v != "auth-int" && v != "auth,auth-int")
                 bad("--qop: expected none, auth, auth-int or auth,auth-int");
             c.qop = v == "none" ? "" : v;
         }},
        {"algorithm", "ALG", "algorithm offered: none, MD5 or MD5-sess (default none)",
         [&c](const std::string& v) {
             if (v != "none" && v != "MD5" && v != "MD5-sess") bad("--algorithm: expected none, MD5 or MD5-sess");
             c.algorithm = v == "none" ? "" : v;
         }},
        {"opaque", "", "send an opaque value and require it back", flag(c.opaque)},
        {"nonce-length", "N", "characters in each nonce, e.g. 4000 for an over-long one (default 32)",
         [&c](const std::string& v) {
             c.nonce_length = size_t(to_uint(v, "nonce-length", 1000000));
             if (c.nonce_length == 0) bad("--nonce-length: must be at least 1");
         }},
        {"md5-sess-form", "FORM",
         "which MD5-sess H(A1) to accept: raw (MD5 over the 16 raw bytes, this product's form), "
         "hex (the usual form over the hex text) or any (default any)",
         [&c](const std::string& v) {
             if (v == "any") c.sess_form = SessForm::Any;
             else if (v == "raw") c.sess_form = SessForm::Raw;
             else if (v == "hex") c.sess_form = SessForm::Hex;
             else bad("--md5-sess-form: expected any, raw or hex");
         }},
        {"nc-check", "",
         "refuse (401) a request repeating a nonce count already sent with the same nonce, checked first and "
         "remembered across reflashes",
         flag(c.nc_check)},

        heading("HTTP faults"),
        {"http-refuse", "", "refuse every connection (the port is reserved but not listening)", flag(c.http_refuse)},
        {"http-hang", "", "accept and read the request, then never answer (close only when the client does)",
         flag(c.http_hang)},
        {"http-close-without-answer", "", "read the request, then close without answering",
         flag(c.http_close_without_answer)},
        {"http-keep-open", "SECONDS", "keep the connection open this long after the response (or until the client closes)",
         [&c](const std::string& v) { c.http_keep_open_seconds = to_double(v, "http-keep-open", 0, 3600); }},
        {"hold-upgrade-request", "SECONDS",
         "keep only an accepted upgrade request's connection open this long after the response (or until the "
         "client closes); the upgrade goes ahead meanwhile",
         [&c](const std::string& v) { c.hold_upgrade_seconds = to_double(v, "hold-upgrade-request", 0, 3600); }},
        {"http10-status", "", "answer with an HTTP/1.0 status line", flag(c.http10_status)},
        {"no-challenge", "",
         "send 401 without WWW-Authenticate to every request lacking valid credentials (every request when no "
         "password is set)",
         flag(c.no_challenge)},

        heading("Upgrade"),
        {"rrq-options", "LIST",
         "options of the read request as name=value pairs separated by commas, or none "
         "(default tsize=0,timeout=5; e.g. tsize=0,timeout=5,blksize=1428)",
         [&c](const std::string& v) {
             c.rrq_options.clear();
             if (v == "none") return;
             for (const std::string& item : split(v, ',')) {
                 size_t eq = item.find('=');
                 if (eq == 0 || eq == std::string::npos) bad("--rrq-options: expected name=value, got '" + item + "'");
                 c.rrq_options.emplace_back(item.substr(0, eq), item.substr(eq + 1));
             }
         }},
        {"tftp-timeout-ms", "MS", "resend the last ACK or read request after this much silence (default 1000)",
         ms(c.tftp_timeout_ms, "tftp-timeout-ms")},
        {"tftp-tries", "N", "give up after this many silent intervals in a row (default 5)",
         [&c](const std::string& v) {
             c.tftp_tries = unsigned(to_uint(v, "tftp-tries", 1000));
             if (c.tftp_tries == 0) bad("--tftp-tries: must be at least 1");
         }},
        {"reboot-seconds", "SECONDS", "time offline while reflashing (default 20)",
         [&c](const std::string& v) { c.reboot_seconds = to_double(v, "reboot-seconds", 0, 3600); }},
        {"report-version", "TEXT", "version to report after a reflash instead of the image's", str(c.report_version)},
        {"never-return", "", "stay offline after the first reflash", flag(c.never_return)},
        {"omit-version-after-reboot", "", "after a reflash, leave the Software Version row out of the page",
         flag(c.omit_version_after_reboot)},

        heading("TFTP faults (WHICH = p=PROBABILITY, all, or block numbers like 3,7,10-12; "
                "block lists affect only the first ACK of each block; block 0 acknowledges the OACK)"),
        {"ack-drop", "WHICH", "do not send these ACKs", sel(c.ack_drop, "ack-drop")},
        {"ack-dup", "WHICH", "send these ACKs twice", sel(c.ack_dup, "ack-dup")},
        {"ack-delay", "WHICH", "send these ACKs late, see --ack-delay-ms", sel(c.ack_delay, "ack-delay")},
        {"ack-delay-ms", "MS", "delay for --ack-delay (default 200)", ms(c.ack_delay_ms, "ack-delay-ms")},
        {"ack-reorder", "WHICH", "follow these ACKs by a stale ACK of the previous block (old ACK overtaken)",
         sel(c.ack_reorder, "ack-reorder")},
        {"never-ack", "", "never send any ACK", flag(c.never_ack)},
        {"error-on-block", "N", "answer DATA block N with a TFTP ERROR and abandon the transfer",
         block(c.error_on_block, "error-on-block")},
        {"ack-from-other-port", "", "send ACKs from a second UDP socket", flag(c.ack_from_other_port)},
        {"second-rrq-after-block", "N", "after acknowledging block N, send the read request again",
         block(c.second_rrq_after_block, "second-rrq-after-block")},
        {"wrong-name-first", "NAME", "first ask for NAME, then for the right file after a pause", str(c.wrong_name_first)},
        {"wrong-name-pause-ms", "MS", "pause after the wrong read request (default 1000)",
         ms(c.wrong_name_pause_ms, "wrong-name-pause-ms")},
        {"seed", "N", "seed for the probabilistic faults (default 1)",
         [&c](const std::string& v) { c.seed = to_uint(v, "seed", ~0ull); }},

        heading("Outputs and lifetime"),
        {"log", "FILE", "write received requests and packets as one event per line", str(c.log_path)},
        {"verdict", "FILE", "write a JSON summary at exit", str(c.verdict_path)},
        {"reference", "FILE", "image expected for the next transfer; repeat for a two-stage upgrade",
         [&c](const std::string& v) { c.references.push_back(v); }},
        {"port-file", "FILE", "write \"http=PORT\" once listening", str(c.port_file)},
        {"time-limit", "SECONDS", "stop by itself after this long (default 120)",
         [&c](const std::string& v) { c.time_limit_seconds = to_double(v, "time-limit", 0.1, 86400); }},
    };
}

void print_help(const char* prog) {
    Config dummy;
    std::printf("Usage: %s [OPTIONS]\n"
                "Stand-in QEL voice device for tests: a web server with digest protection, an upgrade\n"
                "request that makes it fetch firmware over TFTP, a simulated reflash, and fault injection.\n"
                "Options take their value as --name VALUE or --name=VALUE.\n",
                prog);
    for (const OptionDef& def : option_table(dummy)) {
        if (def.name.empty()) {
            std::printf("\n%s:\n", def.help.c_str());
            continue;
        }
        std::string left = "--" + def.name + (def.arg.empty() ? "" : " " + def.arg);
        std::printf("  %-28s %s\n", left.c_str(), def.help.c_str());
    }
    std::printf("  %-28s %s\n", "--help", "show this text");
    std::printf("\nSIGTERM or SIGINT stop it cleanly; the verdict is still written.\n");
}

}  // namespace

bool parse_command_line(int argc, char** argv, Config& cfg) {
    std::vector<OptionDef> table = option_table(cfg);
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            print_help(argv[0]);
            return false;
        }
        if (arg.substr(0, 2) != "--") bad("unexpected argument '" + std::string(arg) + "'");
        std::string name(arg.substr(2));
        std::optional<std::string> value;
        if (size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        const OptionDef* def = nullptr;
        for (const OptionDef& d : table)
            if (!d.name.empty() && d.name == name) def = &d;
        if (!def) bad("unknown option --" + name + " (see --help)");
        if (def->arg.empty()) {
            if (value) bad("--" + name + " takes no value");
            def->set("");
            continue;
        }
        if (!value) {
            if (i + 1 >= argc) bad("--" + name + " needs a value");
            value = argv[++i];
        }
        def->set(*value);
    }
    return true;
}

}  // namespace sim

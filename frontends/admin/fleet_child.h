// The fleet's upgrades: each a `qel-upgrade upgrade ... --json` process of its
// own, in a process group of its own (the terminal's Ctrl-C reaches the fleet
// only, which decides), with only descriptors 0..2 (standard input
// /dev/null, the others pipes to the fleet), and ended with the fleet.
#pragma once
#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace admin {

struct Child {
  pid_t pid = -1;
  int out_fd = -1, err_fd = -1;  // its standard output and error, to read
};

// Tests only (qel-upgrade-testable): run in each child right after the fork,
// before its signal handlers are reset (async-signal-safe calls only).
extern void (*fleet_child_test_pause)();

// Runs program with argv (argv[0] included); false with errno set.
bool start_child(const std::string& program, std::vector<std::string> argv, Child* child);

// The last line of a child's standard output that is a JSON object.
bool last_json(const std::string& out, nlohmann::ordered_json* object);
// A string member of it, "" when absent or not a string.
std::string json_text(const nlohmann::ordered_json& object, const char* key);

}  // namespace admin

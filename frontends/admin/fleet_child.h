// What the fleet reads from its upgrades' output (each a `qel-upgrade
// upgrade ... --json` process, see child_process.h).
#pragma once
#include <nlohmann/json.hpp>
#include <string>

namespace admin {

// The last line of a child's standard output that is a JSON object.
bool last_json(const std::string& out, nlohmann::ordered_json* object);
// A string member of it, "" when absent or not a string.
std::string json_text(const nlohmann::ordered_json& object, const char* key);

}  // namespace admin

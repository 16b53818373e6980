#include "frontends/admin/fleet_child.h"

#include <sstream>

namespace admin {

std::string json_text(const nlohmann::ordered_json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

bool last_json(const std::string& out, nlohmann::ordered_json* object) {
  std::istringstream lines(out);
  std::string line;
  bool found = false;
  while (std::getline(lines, line)) {
    auto parsed = nlohmann::ordered_json::parse(line, nullptr, false);
    if (!parsed.is_discarded() && parsed.is_object()) {
      *object = parsed;
      found = true;
    }
  }
  return found;
}

}  // namespace admin

#include "admin/record/record.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

namespace admin {

namespace {

using Json = nlohmann::ordered_json;

Json text_or_null(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

std::string text_of(const Json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

std::string upgrade_json(const UpgradeRecord& r) {
  Json line;
  line["address"] = r.address;
  line["result"] = result_word(r.result);
  line["message"] = r.message;
  line["version_before"] = text_or_null(r.version_before);
  line["version_after"] = text_or_null(r.version_after);
  line["stages"] = r.stages ? Json(r.stages) : Json(nullptr);
  line["seconds"] = std::round(r.seconds * 10) / 10;
  line["product"] = text_or_null(r.product);
  line["version_target"] = text_or_null(r.version_target);
  line["image_delivered"] = r.image_delivered;
  line["code"] = text_or_null(code_word(r.code));
  line["attempts"] = r.attempts;
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool read_upgrade_json(const std::string& output, UpgradeRecord* record) {
  std::istringstream lines(output);
  std::string line;
  Json object;
  bool found = false;
  while (std::getline(lines, line)) {
    Json parsed = Json::parse(line, nullptr, false);
    if (!parsed.is_discarded() && parsed.is_object()) {
      object = std::move(parsed);
      found = true;
    }
  }
  if (!found) return false;
  UpgradeRecord r;
  r.address = text_of(object, "address");
  if (!parse_result(text_of(object, "result"), &r.result)) r.result = Result::FAILED;
  r.message = text_of(object, "message");
  r.version_before = text_of(object, "version_before");
  r.version_after = text_of(object, "version_after");
  if (auto it = object.find("stages"); it != object.end() && it->is_number_integer())
    r.stages = it->get<int>();
  if (auto it = object.find("seconds"); it != object.end() && it->is_number())
    r.seconds = it->get<double>();
  r.product = text_of(object, "product");
  r.version_target = text_of(object, "version_target");
  if (auto it = object.find("image_delivered"); it != object.end() && it->is_boolean())
    r.image_delivered = it->get<bool>();
  if (!parse_code(text_of(object, "code"), &r.code)) r.code = Code::NONE;
  if (auto it = object.find("attempts"); it != object.end() && it->is_number_integer())
    r.attempts = std::max(0, it->get<int>());
  *record = std::move(r);
  return true;
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

}  // namespace admin

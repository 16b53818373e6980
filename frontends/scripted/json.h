// The little JSON the transcript needs: a writer for one flat-ish object per
// line, and a reader for tests and tools that check transcripts.
//
// The dialogs' texts are single bytes; bytes above 127 are written as
// \u00XX (read as Latin-1) so every line is valid JSON whatever the text.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace scripted {

// Appends text as a quoted, escaped JSON string.
void json_append_string(std::string& out, const std::string& text);

// Builds one JSON object; fields appear in the order they were added.
class JsonObject {
 public:
  JsonObject& add(const char* key, const std::string& value);
  JsonObject& add(const char* key, const char* value);
  JsonObject& add(const char* key, long long value);
  JsonObject& add(const char* key, int value) { return add(key, static_cast<long long>(value)); }
  JsonObject& add_bool(const char* key, bool value);
  JsonObject& add_null(const char* key);
  // value must already be valid JSON (an object or array built elsewhere).
  JsonObject& add_raw(const char* key, const std::string& value);
  std::string text() const { return body_ + "}"; }
  bool empty() const { return body_.size() == 1; }

 private:
  void key(const char* name);
  std::string body_ = "{";
};

std::string json_string_array(const std::vector<std::string>& items);

struct JsonValue {
  enum class Type { Null, Bool, Number, String, Array, Object };
  Type type = Type::Null;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<JsonValue> array;
  std::map<std::string, JsonValue> object;

  bool has(const std::string& key) const { return object.count(key) != 0; }
  // The member, or a null value when absent (or this is no object).
  const JsonValue& operator[](const std::string& key) const;
  long long as_int() const { return static_cast<long long>(number); }
};

// Parses one complete JSON text; false with a reason on error.
bool json_parse(const std::string& text, JsonValue* out, std::string* error);

}  // namespace scripted

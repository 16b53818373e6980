#include "frontends/scripted/json.h"

#include <cstdio>
#include <cstdlib>

namespace scripted {

void json_append_string(std::string& out, const std::string& text) {
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void JsonObject::key(const char* name) {
  if (body_.size() > 1) body_ += ',';
  json_append_string(body_, name);
  body_ += ':';
}

JsonObject& JsonObject::add(const char* name, const std::string& value) {
  key(name);
  json_append_string(body_, value);
  return *this;
}

JsonObject& JsonObject::add(const char* name, const char* value) {
  return add(name, std::string(value ? value : ""));
}

JsonObject& JsonObject::add(const char* name, long long value) {
  key(name);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::add_bool(const char* name, bool value) {
  key(name);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::add_null(const char* name) {
  key(name);
  body_ += "null";
  return *this;
}

JsonObject& JsonObject::add_raw(const char* name, const std::string& value) {
  key(name);
  body_ += value;
  return *this;
}

std::string json_string_array(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    json_append_string(out, items[i]);
  }
  return out + "]";
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
  static const JsonValue null_value;
  auto it = object.find(key);
  return it == object.end() ? null_value : it->second;
}

namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  bool parse(JsonValue* out, std::string* error) {
    bool ok = value(out, 0);
    skip_blanks();
    if (ok && pos_ != text_.size()) ok = fail("trailing characters");
    if (!ok && error) *error = error_ + " at offset " + std::to_string(pos_);
    return ok;
  }

 private:
  bool fail(const char* why) {
    if (error_.empty()) error_ = why;
    return false;
  }

  void skip_blanks() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r' || text_[pos_] == '\n'))
      ++pos_;
  }

  bool literal(const char* word) {
    std::string w = word;
    if (text_.compare(pos_, w.size(), w) != 0) return fail("unknown literal");
    pos_ += w.size();
    return true;
  }

  bool value(JsonValue* out, int depth) {
    if (depth > 64) return fail("nested too deeply");
    skip_blanks();
    if (pos_ >= text_.size()) return fail("unexpected end");
    char c = text_[pos_];
    if (c == '{') return object(out, depth);
    if (c == '[') return array(out, depth);
    if (c == '"') {
      out->type = JsonValue::Type::String;
      return string(&out->string);
    }
    if (c == 't' || c == 'f') {
      out->type = JsonValue::Type::Bool;
      out->boolean = c == 't';
      return literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') {
      out->type = JsonValue::Type::Null;
      return literal("null");
    }
    return number(out);
  }

  bool number(JsonValue* out) {
    const char* start = text_.c_str() + pos_;
    char* end = nullptr;
    double v = std::strtod(start, &end);
    if (end == start) return fail("expected a value");
    out->type = JsonValue::Type::Number;
    out->number = v;
    pos_ += static_cast<std::size_t>(end - start);
    return true;
  }

  static void append_utf8(std::string& out, unsigned code) {
    // Code points below 256 come from single-byte texts: keep them bytes.
    if (code < 0x100) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xc0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
      out += static_cast<char>(0xe0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (code & 0x3f));
    }
  }

  bool string(std::string* out) {
    ++pos_;  // opening quote
    out->clear();
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return fail("control character in string");
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (pos_ >= text_.size()) break;
      char e = text_[pos_++];
      switch (e) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          if (pos_ + 4 > text_.size()) return fail("short \\u escape");
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            char h = text_[pos_++];
            code <<= 4;
            if (h >= '0' && h <= '9') code |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f') code |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') code |= static_cast<unsigned>(h - 'A' + 10);
            else return fail("bad \\u escape");
          }
          append_utf8(*out, code);
          break;
        }
        default: return fail("bad escape");
      }
    }
    return fail("unterminated string");
  }

  bool array(JsonValue* out, int depth) {
    out->type = JsonValue::Type::Array;
    ++pos_;
    skip_blanks();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      JsonValue item;
      if (!value(&item, depth + 1)) return false;
      out->array.push_back(std::move(item));
      skip_blanks();
      if (pos_ >= text_.size()) return fail("unterminated array");
      char c = text_[pos_++];
      if (c == ']') return true;
      if (c != ',') return fail("expected , or ]");
    }
  }

  bool object(JsonValue* out, int depth) {
    out->type = JsonValue::Type::Object;
    ++pos_;
    skip_blanks();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      skip_blanks();
      if (pos_ >= text_.size() || text_[pos_] != '"') return fail("expected a key");
      std::string name;
      if (!string(&name)) return false;
      skip_blanks();
      if (pos_ >= text_.size() || text_[pos_] != ':') return fail("expected :");
      ++pos_;
      JsonValue member;
      if (!value(&member, depth + 1)) return false;
      out->object[name] = std::move(member);
      skip_blanks();
      if (pos_ >= text_.size()) return fail("unterminated object");
      char c = text_[pos_++];
      if (c == '}') return true;
      if (c != ',') return fail("expected , or }");
    }
  }

  const std::string& text_;
  std::size_t pos_ = 0;
  std::string error_;
};

}  // namespace

bool json_parse(const std::string& text, JsonValue* out, std::string* error) {
  *out = JsonValue();
  return Parser(text).parse(out, error);
}

}  // namespace scripted

#include "frontends/scripted/script.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "frontends/common/dotted.h"
#include "resources/ids.h"

namespace scripted {

namespace {

struct Token {
  std::string text;
  bool quoted = false;
};

// Splits a line into blank-separated tokens. A double-quoted string with
// the escapes \r \n \t \" and \\ makes one token; an unquoted # ends the
// line; an unquoted ; is a token of its own.
bool tokenize(const std::string& line, std::vector<Token>* tokens, std::string* error) {
  std::size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == ';') {
      tokens->push_back({";", false});
      ++i;
    } else if (c == '"') {
      Token t{"", true};
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char d = line[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d != '\\') {
          t.text += d;
          continue;
        }
        if (i >= line.size()) break;
        char e = line[i++];
        switch (e) {
          case 'r':
            t.text += '\r';
            break;
          case 'n':
            t.text += '\n';
            break;
          case 't':
            t.text += '\t';
            break;
          case '"':
            t.text += '"';
            break;
          case '\\':
            t.text += '\\';
            break;
          default:
            *error = std::string("unknown escape \\") + e;
            return false;
        }
      }
      if (!closed) {
        *error = "unterminated string";
        return false;
      }
      tokens->push_back(std::move(t));
    } else {
      Token t;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
             line[i] != '#' && line[i] != ';' && line[i] != '"')
        t.text += line[i++];
      tokens->push_back(std::move(t));
    }
  }
  return true;
}

bool to_int(const std::string& text, long low, long high, int* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno || *end || v < low || v > high) return false;
  *out = static_cast<int>(v);
  return true;
}

// Every name of resources/ids.h, generated from the header at configure time.
struct IdName {
  const char* name;
  int id;
};
const IdName ID_NAMES[] = {
#include "id_names.inc"
};

// A template, control or resource: a number, or its name in resources/ids.h.
bool to_id(const std::string& text, long low, long high, int* out) {
  for (const IdName& entry : ID_NAMES) {
    if (text == entry.name) {
      *out = entry.id;
      return true;
    }
  }
  return to_int(text, low, high, out);
}

bool parse_action(const std::vector<Token>& words, Action* action, std::string* error) {
  if (words.empty()) {
    *error = "empty action";
    return false;
  }
  const std::string& verb = words[0].text;
  auto want = [&](std::size_t count) {
    if (words.size() == count) return true;
    *error = "'" + verb + "' takes " + std::to_string(count - 1) + " argument(s)";
    return false;
  };
  auto number = [&](std::size_t index, long low, long high, int* out) {
    if (to_int(words[index].text, low, high, out)) return true;
    *error = "'" + verb + "': bad number '" + words[index].text + "'";
    return false;
  };
  auto id = [&](std::size_t index, long low, long high, int* out) {
    if (to_id(words[index].text, low, high, out)) return true;
    *error = "'" + verb + "': bad id '" + words[index].text + "'";
    return false;
  };
  if (verb == "press") {
    action->kind = Action::Kind::Press;
    return want(2) && id(1, 0, 65535, &action->control);
  }
  if (verb == "type") {
    action->kind = Action::Kind::Type;
    if (!want(3) || !id(1, -1, 65535, &action->control)) return false;
    action->text = words[2].text;
    return true;
  }
  if (verb == "select") {
    action->kind = Action::Kind::Select;
    return want(3) && id(1, -1, 65535, &action->control) && number(2, -1, 1000000, &action->value);
  }
  if (verb == "select-text") {
    action->kind = Action::Kind::SelectText;
    if (!want(3) || !id(1, -1, 65535, &action->control)) return false;
    action->text = words[2].text;
    return true;
  }
  if (verb == "delay") {
    action->kind = Action::Kind::Delay;
    return want(2) && number(1, 0, 86400000, &action->value);
  }
  if (verb == "await-progress") {
    action->kind = Action::Kind::AwaitProgress;
    if (words.size() == 3) {
      return id(1, 0, 65535, &action->control) && number(2, 0, 65535, &action->value);
    }
    return want(2) && number(1, 0, 65535, &action->value);
  }
  if (verb == "none") {
    action->kind = Action::Kind::Nothing;
    return want(1);
  }
  *error = "unknown action '" + verb + "'";
  return false;
}

std::string resolve(const std::string& base_dir, const std::string& path) {
  if (path.empty() || path[0] == '/' || base_dir.empty()) return path;
  return base_dir + "/" + path;
}

bool parse_line(const std::vector<Token>& tokens, const std::string& base_dir, Script* script,
                std::string* error) {
  const std::string& directive = tokens[0].text;
  std::size_t count = tokens.size();
  auto number = [&](std::size_t index, long low, long high, int* out) {
    if (index < count && to_int(tokens[index].text, low, high, out)) return true;
    *error = "'" + directive + "': bad or missing number";
    return false;
  };

  if (directive == "addresses") {
    script->addresses.clear();
    if (count == 2 && !tokens[1].quoted && tokens[1].text == "none") {
      script->host = HostAddresses::List;
      return true;
    }
    if (count == 2 && !tokens[1].quoted && tokens[1].text == "unresolved") {
      script->host = HostAddresses::Unresolved;
      return true;
    }
    if (count < 2) {
      *error = "'addresses' needs addresses, 'none' or 'unresolved'";
      return false;
    }
    script->host = HostAddresses::List;
    for (std::size_t i = 1; i < count; ++i) {
      std::uint32_t address;
      if (!frontend::parse_dotted(tokens[i].text, &address)) {
        *error = "'addresses': bad address '" + tokens[i].text + "'";
        return false;
      }
      script->addresses.push_back(address);
    }
    return true;
  }
  if (directive == "image") {
    ImageFile image;
    if (count != 3 || !to_id(tokens[1].text, 0, 65535, &image.resource)) {
      *error = "'image' takes a resource and a file (or 'none')";
      return false;
    }
    if (!(tokens[2].text == "none" && !tokens[2].quoted))
      image.path = resolve(base_dir, tokens[2].text);
    script->images.push_back(image);
    return true;
  }
  if (directive == "stage") {
    if (count == 2 && (tokens[1].text == "transition" || tokens[1].text == "target")) {
      script->stage_set = true;
      script->transition_stage = tokens[1].text == "transition";
      return true;
    }
    *error = "'stage' takes 'transition' or 'target'";
    return false;
  }
  if (directive == "clock") {
    if (count < 2 || count > 3) {
      *error = "'clock' takes a scale and an optional offset";
      return false;
    }
    char* end = nullptr;
    double scale = std::strtod(tokens[1].text.c_str(), &end);
    if (*end || !(scale > 0)) {
      *error = "'clock': the scale must be a number above 0";
      return false;
    }
    script->clock_scale = scale;
    script->clock_offset = 0;
    if (count == 3) {
      errno = 0;
      unsigned long long offset = std::strtoull(tokens[2].text.c_str(), &end, 0);
      if (errno || *end || offset > 0xffffffffull || tokens[2].text[0] == '-') {
        *error = "'clock': bad offset";
        return false;
      }
      script->clock_offset = static_cast<std::uint32_t>(offset);
    }
    script->clock_set = true;
    return true;
  }
  if (directive == "screen") {
    if (count != 3) {
      *error = "'screen' takes a width and a height";
      return false;
    }
    return number(1, 1, 100000, &script->screen_width) &&
           number(2, 1, 100000, &script->screen_height);
  }
  if (directive == "timeout") {
    if (count != 2) {
      *error = "'timeout' takes milliseconds";
      return false;
    }
    return number(1, 0, 86400000, &script->timeout_ms);
  }
  if (directive == "exhausted") {
    if (count == 2 && (tokens[1].text == "cancel" || tokens[1].text == "repeat")) {
      script->repeat_last_answer = tokens[1].text == "repeat";
      return true;
    }
    *error = "'exhausted' takes 'cancel' or 'repeat'";
    return false;
  }
  if (directive == "answer") {
    int template_id;
    if (count < 2 || !to_id(tokens[1].text, 0, 65535, &template_id)) {
      *error = "'answer': bad or missing template";
      return false;
    }
    Answer answer;
    std::vector<Token> words;
    for (std::size_t i = 2; i <= count; ++i) {
      if (i == count || (tokens[i].text == ";" && !tokens[i].quoted)) {
        Action action;
        if (!parse_action(words, &action, error)) return false;
        answer.push_back(std::move(action));
        words.clear();
      } else {
        words.push_back(tokens[i]);
      }
    }
    script->answers[template_id].push_back(std::move(answer));
    return true;
  }
  *error = "unknown directive '" + directive + "'";
  return false;
}

}  // namespace

bool parse_script(const std::string& text, const std::string& base_dir, Script* out,
                  std::string* error) {
  *out = Script();
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    std::vector<Token> tokens;
    std::string why;
    bool ok = tokenize(line, &tokens, &why);
    if (ok && tokens.empty()) continue;
    if (ok) ok = parse_line(tokens, base_dir, out, &why);
    if (!ok) {
      if (error) *error = "line " + std::to_string(number) + ": " + why;
      return false;
    }
  }
  return true;
}

const Answer* answer_for(const Script& script, int template_id, int opening) {
  auto it = script.answers.find(template_id);
  if (it == script.answers.end() || it->second.empty() || opening < 0) return nullptr;
  const std::vector<Answer>& list = it->second;
  if (static_cast<std::size_t>(opening) < list.size())
    return &list[static_cast<std::size_t>(opening)];
  return script.repeat_last_answer ? &list.back() : nullptr;
}

}  // namespace scripted

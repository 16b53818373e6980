// The generated Windows resource script, read back the way the resource
// compiler reads it and compared with the dialog templates; plus what a read
// back cannot show: quoting, refused styles and the other resources.
#include <gtest/gtest.h>

#include <charconv>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "resources/ids.h"
#include "resources/rc_script.h"

namespace {

ResourceScriptInputs inputs(bool two_stage) {
  ResourceScriptInputs in{};
  in.icon_file = "/build/resources/qel.ico";
  in.firmware.push_back({IDR_TARGET_IMAGE, "/build/resources/target.bin"});
  if (two_stage) in.firmware.push_back({IDR_TRANSITION_IMAGE, "/build/resources/transition.bin"});
  in.version[0] = 1;
  in.version[1] = 2;
  in.version[2] = 3;
  in.version[3] = 0;
  return in;
}

const std::string& script() {
  static const std::string text = rc_resource_script(inputs(false));
  return text;
}

bool has_line(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// ---- A reader for the part of the resource language the writer emits ----

std::string trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

struct Field {
  std::string text;  // unquoted when quoted
  bool quoted = false;
};

// The comma-separated arguments of a statement; "" inside a string is a
// quote and \\ a backslash.
std::vector<Field> fields(const std::string& args) {
  std::vector<Field> out(1);
  bool in_string = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    char ch = args[i];
    if (in_string) {
      bool doubled = i + 1 < args.size() && args[i + 1] == ch;
      if ((ch == '"' || ch == '\\') && doubled) {
        out.back().text += args[++i];
      } else if (ch == '\\') {
        ADD_FAILURE() << "lone backslash in " << args;
      } else if (ch == '"') {
        in_string = false;
      } else {
        out.back().text += ch;
      }
    } else if (ch == '"') {
      if (!trim(out.back().text).empty()) ADD_FAILURE() << "quote inside a field: " << args;
      out.back().text.clear();
      in_string = true;
      out.back().quoted = true;
    } else if (ch == ',') {
      out.emplace_back();
    } else if (!out.back().quoted) {
      out.back().text += ch;
    } else if (ch != ' ') {
      ADD_FAILURE() << "text after a string: " << args;
    }
  }
  if (in_string) ADD_FAILURE() << "unterminated string: " << args;
  for (Field& f : out)
    if (!f.quoted) f.text = trim(f.text);
  return out;
}

int number(const Field& f) {
  int value = 0;
  const char* end = f.text.data() + f.text.size();
  auto [at, error] = std::from_chars(f.text.data(), end, value);
  if (f.quoted || error != std::errc() || at != end) ADD_FAILURE() << "not a number: " << f.text;
  return value;
}

// Style words and what each sets and clears.
using Styles = std::map<std::string, std::pair<unsigned, unsigned>>;

// "A | NOT B" applied to the style a statement starts from; "0" is nothing.
unsigned styles(const Field& f, unsigned start, const Styles& known) {
  if (f.quoted) ADD_FAILURE() << "quoted style " << f.text;
  std::stringstream in(f.text);
  for (std::string word; std::getline(in, word, '|');) {
    word = trim(word);
    if (word == "0") continue;
    auto it = known.find(word);
    if (it == known.end()) {
      ADD_FAILURE() << "unexpected style " << word;
      continue;
    }
    start = (start | it->second.first) & ~it->second.second;
  }
  return start;
}

const Styles BUTTON = {{"NOT WS_TABSTOP", {CTL_NO_TAB_STOP, 0}}};
const Styles EDIT = {
    {"ES_CENTER", {CTL_TEXT_CENTER, 0}},      {"ES_RIGHT", {CTL_TEXT_RIGHT, 0}},
    {"ES_MULTILINE", {CTL_MULTI_LINE, 0}},    {"ES_AUTOHSCROLL", {CTL_AUTO_HSCROLL, 0}},
    {"ES_PASSWORD", {CTL_PASSWORD, 0}},       {"ES_READONLY", {CTL_READ_ONLY, 0}},
    {"WS_VSCROLL", {CTL_VSCROLL, 0}},         {"NOT WS_BORDER", {0, CTL_BORDER}},
    {"NOT WS_TABSTOP", {CTL_NO_TAB_STOP, 0}},
};
// CBS_DROPDOWNLIST is marked with a bit of its own, checked and taken off.
constexpr unsigned DROP_DOWN_LIST = 1u << 31;
const Styles COMBO = {{"CBS_DROPDOWNLIST", {DROP_DOWN_LIST, 0}},
                      {"WS_VSCROLL", {CTL_VSCROLL, 0}},
                      {"WS_TABSTOP", {0, CTL_NO_TAB_STOP}},
                      {"NOT WS_TABSTOP", {CTL_NO_TAB_STOP, 0}}};
const Styles PROGRESS = {{"WS_BORDER", {CTL_BORDER, 0}}};
const Styles IP_ADDRESS = {{"WS_BORDER", {CTL_BORDER, 0}}, {"WS_TABSTOP", {0, CTL_NO_TAB_STOP}}};
const Styles FRAME = {{"DS_MODALFRAME", {FRAME_MODAL, 0}},
                      {"WS_POPUP", {FRAME_POPUP, 0}},
                      {"WS_CAPTION", {FRAME_CAPTION, 0}},
                      {"WS_SYSMENU", {FRAME_SYSTEM_MENU, 0}}};

struct ReadControl {
  int id = 0;
  ControlKind kind = ControlKind::StaticText;
  std::string text;
  int x = 0, y = 0, width = 0, height = 0;
  unsigned style = 0;
  int icon = 0;
};

struct ReadDialog {
  int id = 0;
  int x = 0, y = 0, width = 0, height = 0;
  unsigned frame = 0;
  std::string caption, font;
  int points = 0;
  std::vector<ReadControl> controls;
};

void geometry(ReadControl& c, const std::vector<Field>& f, std::size_t at) {
  c.x = number(f[at]);
  c.y = number(f[at + 1]);
  c.width = number(f[at + 2]);
  c.height = number(f[at + 3]);
}

// One control statement: keyword, then its arguments.
ReadControl control(const std::string& line) {
  std::string statement = trim(line);
  std::size_t space = statement.find(' ');
  std::string keyword = statement.substr(0, space);
  std::vector<Field> f = fields(space == std::string::npos ? "" : statement.substr(space + 1));
  ReadControl c;
  auto expect_fields = [&](std::size_t low, std::size_t high) {
    if (f.size() < low || f.size() > high) {
      ADD_FAILURE() << "wrong argument count: " << line;
      f.resize(high);
    }
  };
  if (keyword == "PUSHBUTTON" || keyword == "DEFPUSHBUTTON") {
    expect_fields(6, 7);
    c.kind = keyword == "PUSHBUTTON" ? ControlKind::PushButton : ControlKind::DefaultPushButton;
    c.text = f[0].text;
    c.id = number(f[1]);
    geometry(c, f, 2);
    if (f.size() == 7) c.style = styles(f[6], 0, BUTTON);
  } else if (keyword == "EDITTEXT") {
    // EDITTEXT starts from ES_LEFT | WS_BORDER | WS_TABSTOP.
    expect_fields(5, 6);
    c.kind = ControlKind::Edit;
    c.id = number(f[0]);
    geometry(c, f, 1);
    c.style = f.size() == 6 ? styles(f[5], CTL_BORDER, EDIT) : CTL_BORDER;
  } else if (keyword == "LTEXT" || keyword == "CTEXT" || keyword == "RTEXT") {
    expect_fields(6, 6);
    c.kind = ControlKind::StaticText;
    c.text = f[0].text;
    c.id = number(f[1]);
    geometry(c, f, 2);
    c.style = keyword == "LTEXT"   ? CTL_TEXT_LEFT
              : keyword == "CTEXT" ? CTL_TEXT_CENTER
                                   : CTL_TEXT_RIGHT;
  } else if (keyword == "ICON") {
    expect_fields(6, 6);
    c.kind = ControlKind::StaticIcon;
    c.icon = number(f[0]);
    c.id = number(f[1]);
    geometry(c, f, 2);
  } else if (keyword == "COMBOBOX") {
    expect_fields(6, 6);
    c.kind = ControlKind::ComboBox;
    c.id = number(f[0]);
    geometry(c, f, 1);
    // COMBOBOX starts from CBS_SIMPLE | WS_TABSTOP.
    c.style = styles(f[5], 0, COMBO);
    if (!(c.style & DROP_DOWN_LIST)) ADD_FAILURE() << "a combo box that can be typed in: " << line;
    c.style &= ~DROP_DOWN_LIST;
  } else if (keyword == "CONTROL") {
    // CONTROL text, id, class, style, x, y, width, height
    expect_fields(8, 8);
    c.text = f[0].text;
    c.id = number(f[1]);
    geometry(c, f, 4);
    if (!f[2].quoted && f[2].text == "PROGRESS_CLASS") {
      c.kind = ControlKind::ProgressBar;
      c.style = styles(f[3], 0, PROGRESS);
    } else if (f[2].quoted && f[2].text == "SysIPAddress32") {
      c.kind = ControlKind::IpAddress;
      c.style = styles(f[3], CTL_NO_TAB_STOP, IP_ADDRESS);
    } else {
      ADD_FAILURE() << "unknown control class: " << line;
    }
  } else {
    ADD_FAILURE() << "unknown statement: " << line;
  }
  return c;
}

// Every DIALOG resource of a script, in the order written.
std::vector<ReadDialog> read_dialogs(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);

  std::vector<ReadDialog> dialogs;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::size_t keyword = lines[i].find(" DIALOG ");
    if (keyword == std::string::npos) continue;
    ReadDialog d;
    d.id = number({lines[i].substr(0, keyword)});
    std::vector<Field> frame = fields(lines[i].substr(keyword + 8));
    if (frame.size() != 4) {
      ADD_FAILURE() << "bad DIALOG line: " << lines[i];
      continue;
    }
    d.x = number(frame[0]);
    d.y = number(frame[1]);
    d.width = number(frame[2]);
    d.height = number(frame[3]);
    // STYLE, CAPTION and FONT, in any order, then BEGIN.
    for (++i; i < lines.size() && lines[i] != "BEGIN"; ++i) {
      const std::string& line = lines[i];
      if (line.starts_with("STYLE ")) {
        d.frame = styles({line.substr(6)}, 0, FRAME);
      } else if (line.starts_with("CAPTION ")) {
        std::vector<Field> f = fields(line.substr(8));
        if (f.size() != 1 || !f[0].quoted) ADD_FAILURE() << "bad CAPTION: " << line;
        d.caption = f[0].text;
      } else if (line.starts_with("FONT ")) {
        std::vector<Field> f = fields(line.substr(5));
        if (f.size() != 2 || !f[1].quoted) ADD_FAILURE() << "bad FONT: " << line;
        d.points = number(f[0]);
        d.font = f.size() > 1 ? f[1].text : "";
      } else {
        ADD_FAILURE() << "unexpected line in dialog " << d.id << ": " << line;
      }
    }
    for (++i; i < lines.size() && lines[i] != "END"; ++i) d.controls.push_back(control(lines[i]));
    if (i == lines.size()) ADD_FAILURE() << "dialog " << d.id << " has no END";
    dialogs.push_back(d);
  }
  return dialogs;
}

// A control's style as the script can state it: an edit is left-aligned
// unless told otherwise, a static text without alignment is LTEXT, and
// controls that never take the focus have no tab stop to leave out.
unsigned as_scripted(const ControlTemplate& c) {
  unsigned style = c.style;
  switch (c.kind) {
    case ControlKind::Edit:
      style &= ~CTL_TEXT_LEFT;
      break;
    case ControlKind::StaticText:
      if (!(style & (CTL_TEXT_CENTER | CTL_TEXT_RIGHT))) style |= CTL_TEXT_LEFT;
      style &= ~CTL_NO_TAB_STOP;
      break;
    case ControlKind::StaticIcon:
    case ControlKind::ProgressBar:
      style &= ~CTL_NO_TAB_STOP;
      break;
    default:
      break;
  }
  return style;
}

TEST(ResourceScript, DialogsReadBackAsTheTemplates) {
  std::map<int, ReadDialog> dialogs;
  for (const ReadDialog& d : read_dialogs(script()))
    EXPECT_TRUE(dialogs.emplace(d.id, d).second) << "dialog " << d.id << " twice";
  ASSERT_EQ(dialogs.size(), static_cast<std::size_t>(dialog_template_count));
  for (int i = 0; i < dialog_template_count; ++i) {
    const DialogTemplate& t = dialog_templates[i];
    SCOPED_TRACE("template " + std::to_string(t.id));
    ASSERT_EQ(dialogs.count(t.id), 1u);
    const ReadDialog& d = dialogs.at(t.id);
    EXPECT_EQ(d.x, t.x);
    EXPECT_EQ(d.y, t.y);
    EXPECT_EQ(d.width, t.width);
    EXPECT_EQ(d.height, t.height);
    EXPECT_EQ(d.frame, t.frame);
    EXPECT_EQ(d.caption, t.caption);
    EXPECT_EQ(d.font, t.font_face);
    EXPECT_EQ(d.points, t.font_points);
    // Same controls in the same order, which is the tab order.
    ASSERT_EQ(d.controls.size(), static_cast<std::size_t>(t.control_count));
    for (int k = 0; k < t.control_count; ++k) {
      const ControlTemplate& c = t.controls[k];
      const ReadControl& r = d.controls[k];
      SCOPED_TRACE("control #" + std::to_string(k) + " (" + control_kind_name(c.kind) + ")");
      EXPECT_EQ(r.id, c.id);
      EXPECT_STREQ(control_kind_name(r.kind), control_kind_name(c.kind));
      EXPECT_EQ(r.text, c.text);
      EXPECT_EQ(r.x, c.x);
      EXPECT_EQ(r.y, c.y);
      EXPECT_EQ(r.width, c.width);
      EXPECT_EQ(r.height, c.height);
      EXPECT_EQ(r.style, as_scripted(c));
      EXPECT_EQ(r.icon, c.icon);
      // A combo box's height in the script is that of its dropped list.
      if (c.kind == ControlKind::ComboBox && c.list_height) {
        EXPECT_EQ(r.height, c.list_height);
      }
    }
  }
}

const std::string TARGET_LINE =
    std::to_string(IDR_TARGET_IMAGE) + " QEL_FIRMWARE \"/build/resources/target.bin\"";

TEST(ResourceScript, EveryTemplateOnceAndOnlyTheIconAndImagesBesides) {
  for (int i = 0; i < dialog_template_count; ++i) {
    int id = dialog_templates[i].id;
    EXPECT_EQ(count(script(), "\n" + std::to_string(id) + " DIALOG "), 1) << id;
  }
  EXPECT_EQ(count(script(), " DIALOG "), dialog_template_count);
  EXPECT_TRUE(
      has_line(script(), std::to_string(IDI_PROGRAM) + " ICON \"/build/resources/qel.ico\""));
  EXPECT_TRUE(has_line(script(), TARGET_LINE));
  EXPECT_EQ(count(script(), "QEL_FIRMWARE"), 1);
  EXPECT_TRUE(has_line(script(), "FILEVERSION 1, 2, 3, 0"));
  // PROGRESS_CLASS and the constants of the version resource need these.
  EXPECT_TRUE(has_line(script(), "#include <windows.h>"));
  EXPECT_TRUE(has_line(script(), "#include <commctrl.h>"));
}

TEST(ResourceScript, TwoStageBuildCarriesTheTransitionImage) {
  std::string text = rc_resource_script(inputs(true));
  EXPECT_TRUE(has_line(text, TARGET_LINE));
  EXPECT_TRUE(has_line(text, std::to_string(IDR_TRANSITION_IMAGE) +
                                 " QEL_FIRMWARE \"/build/resources/transition.bin\""));
}

TEST(ResourceScript, QuotesAndBackslashesAreEscaped) {
  EXPECT_EQ(rc_quote("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(rc_quote("C:\\images\\target.bin"), "\"C:\\\\images\\\\target.bin\"");
  EXPECT_THROW(rc_quote("two\r\nlines"), std::invalid_argument);
}

TEST(ResourceScript, StyleWithoutResourceEquivalentIsRefused) {
  ControlTemplate masked_button{7, ControlKind::PushButton, "Go", 1, 2, 3, 4, CTL_PASSWORD, 0, 0};
  EXPECT_THROW(rc_control_statement(masked_button), std::invalid_argument);
  ControlTemplate loose_combo{8, ControlKind::ComboBox, "", 1, 2, 3, 40, 0, 0, 60};
  EXPECT_THROW(rc_control_statement(loose_combo), std::invalid_argument);
  ControlTemplate skipped_button{9, ControlKind::PushButton, "Skip", 1, 2, 30, 14, 0, 0, 0};
  skipped_button.style = CTL_NO_TAB_STOP;
  EXPECT_EQ(rc_control_statement(skipped_button),
            "    PUSHBUTTON \"Skip\", 9, 1, 2, 30, 14, NOT WS_TABSTOP");
}

}  // namespace

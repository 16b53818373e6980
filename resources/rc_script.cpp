#include "resources/rc_script.h"

#include <stdexcept>

#include "resources/ids.h"

namespace {

// Builds "A | B | NOT C" from the pieces that apply.
struct StyleList {
  std::string text;
  void add(const char* style) {
    if (!text.empty()) text += " | ";
    text += style;
  }
};

std::string numbers(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) {
    if (!out.empty()) out += ", ";
    out += std::to_string(v);
  }
  return out;
}

std::string geometry(const ControlTemplate& c) { return numbers({c.x, c.y, c.width, c.height}); }

[[noreturn]] void unsupported(const ControlTemplate& c, const char* what) {
  throw std::invalid_argument(std::string("control ") + std::to_string(c.id) + " (" +
                              control_kind_name(c.kind) + "): " + what);
}

// Only these flags may appear on a kind; anything else would be silently
// lost in the script.
void allow_only(const ControlTemplate& c, unsigned allowed) {
  if (c.style & ~allowed) unsupported(c, "style flag with no resource equivalent");
}

std::string button(const ControlTemplate& c, const char* keyword) {
  allow_only(c, CTL_NO_TAB_STOP);
  std::string line =
      std::string(keyword) + " " + rc_quote(c.text) + ", " + numbers({c.id}) + ", " + geometry(c);
  // Buttons are tab stops unless told otherwise.
  if (c.style & CTL_NO_TAB_STOP) line += ", NOT WS_TABSTOP";
  return line;
}

std::string edit(const ControlTemplate& c) {
  allow_only(c, CTL_READ_ONLY | CTL_MULTI_LINE | CTL_BORDER | CTL_AUTO_HSCROLL | CTL_PASSWORD |
                    CTL_TEXT_LEFT | CTL_TEXT_CENTER | CTL_TEXT_RIGHT | CTL_NO_TAB_STOP |
                    CTL_VSCROLL);
  if (*c.text) unsupported(c, "an edit control's template carries no text");
  // EDITTEXT starts from ES_LEFT | WS_BORDER | WS_TABSTOP.
  StyleList s;
  if (c.style & CTL_TEXT_CENTER) s.add("ES_CENTER");
  if (c.style & CTL_TEXT_RIGHT) s.add("ES_RIGHT");
  if (c.style & CTL_MULTI_LINE) s.add("ES_MULTILINE");
  if (c.style & CTL_AUTO_HSCROLL) s.add("ES_AUTOHSCROLL");
  if (c.style & CTL_PASSWORD) s.add("ES_PASSWORD");
  if (c.style & CTL_READ_ONLY) s.add("ES_READONLY");
  if (c.style & CTL_VSCROLL) s.add("WS_VSCROLL");
  if (!(c.style & CTL_BORDER)) s.add("NOT WS_BORDER");
  if (c.style & CTL_NO_TAB_STOP) s.add("NOT WS_TABSTOP");
  std::string line = "EDITTEXT " + numbers({c.id}) + ", " + geometry(c);
  if (!s.text.empty()) line += ", " + s.text;
  return line;
}

std::string static_text(const ControlTemplate& c) {
  allow_only(c, CTL_TEXT_LEFT | CTL_TEXT_CENTER | CTL_TEXT_RIGHT | CTL_NO_TAB_STOP);
  const char* keyword = "LTEXT";
  if (c.style & CTL_TEXT_CENTER) keyword = "CTEXT";
  if (c.style & CTL_TEXT_RIGHT) keyword = "RTEXT";
  return std::string(keyword) + " " + rc_quote(c.text) + ", " + numbers({c.id}) + ", " +
         geometry(c);
}

std::string static_icon(const ControlTemplate& c) {
  allow_only(c, CTL_NO_TAB_STOP);
  if (c.icon <= 0) unsupported(c, "an icon control needs an icon number");
  return "ICON " + numbers({c.icon, c.id}) + ", " + geometry(c);
}

std::string progress_bar(const ControlTemplate& c) {
  allow_only(c, CTL_BORDER | CTL_NO_TAB_STOP);
  return "CONTROL \"\", " + numbers({c.id}) + ", PROGRESS_CLASS, " +
         ((c.style & CTL_BORDER) ? "WS_BORDER" : "0") + ", " + geometry(c);
}

std::string combo_box(const ControlTemplate& c) {
  allow_only(c, CTL_VSCROLL | CTL_NO_TAB_STOP);
  // The template's height is the dropped list's, as the resource wants it.
  if (c.list_height != 0 && c.list_height != c.height)
    unsupported(c, "list height differs from the control's height");
  StyleList s;
  s.add("CBS_DROPDOWNLIST");
  if (c.style & CTL_VSCROLL) s.add("WS_VSCROLL");
  s.add((c.style & CTL_NO_TAB_STOP) ? "NOT WS_TABSTOP" : "WS_TABSTOP");
  return "COMBOBOX " + numbers({c.id}) + ", " + geometry(c) + ", " + s.text;
}

std::string ip_address(const ControlTemplate& c) {
  allow_only(c, CTL_BORDER | CTL_NO_TAB_STOP);
  StyleList s;
  if (c.style & CTL_BORDER) s.add("WS_BORDER");
  if (!(c.style & CTL_NO_TAB_STOP)) s.add("WS_TABSTOP");
  if (s.text.empty()) s.add("0");
  return "CONTROL \"\", " + numbers({c.id}) + ", \"SysIPAddress32\", " + s.text + ", " +
         geometry(c);
}

std::string frame_style(const DialogTemplate& d) {
  StyleList s;
  if (d.frame & FRAME_MODAL) s.add("DS_MODALFRAME");
  if (d.frame & FRAME_POPUP) s.add("WS_POPUP");
  if (d.frame & FRAME_CAPTION) s.add("WS_CAPTION");
  if (d.frame & FRAME_SYSTEM_MENU) s.add("WS_SYSMENU");
  return s.text;
}

}  // namespace

std::string rc_quote(const std::string& text) {
  std::string out = "\"";
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) throw std::invalid_argument("control character in a text");
    if (c == '"')
      out += "\"\"";
    else if (c == '\\')
      out += "\\\\";
    else
      out += ch;
  }
  return out + "\"";
}

std::string rc_control_statement(const ControlTemplate& control) {
  std::string body;
  switch (control.kind) {
    case ControlKind::PushButton:
      body = button(control, "PUSHBUTTON");
      break;
    case ControlKind::DefaultPushButton:
      body = button(control, "DEFPUSHBUTTON");
      break;
    case ControlKind::Edit:
      body = edit(control);
      break;
    case ControlKind::StaticText:
      body = static_text(control);
      break;
    case ControlKind::StaticIcon:
      body = static_icon(control);
      break;
    case ControlKind::ProgressBar:
      body = progress_bar(control);
      break;
    case ControlKind::ComboBox:
      body = combo_box(control);
      break;
    case ControlKind::IpAddress:
      body = ip_address(control);
      break;
  }
  return "    " + body;
}

std::string rc_dialog_resource(const DialogTemplate& d) {
  std::string out = numbers({d.id}) + " DIALOG " + numbers({d.x, d.y, d.width, d.height}) + "\n";
  out += "STYLE " + frame_style(d) + "\n";
  out += "CAPTION " + rc_quote(d.caption) + "\n";
  out += "FONT " + numbers({d.font_points}) + ", " + rc_quote(d.font_face) + "\n";
  out += "BEGIN\n";
  for (int i = 0; i < d.control_count; ++i) out += rc_control_statement(d.controls[i]) + "\n";
  out += "END\n";
  return out;
}

std::string rc_resource_script(const ResourceScriptInputs& inputs) {
  const int* v = inputs.version;
  std::string dotted = numbers({v[0]}) + "." + numbers({v[1]}) + "." + numbers({v[2]});
  std::string comma = numbers({v[0], v[1], v[2], v[3]});

  std::string out =
      "// Generated by qel-make-rc from resources/templates.cpp; do not edit.\n"
      "#include <windows.h>\n"
      "#include <commctrl.h>\n"
      "\n"
      "LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US\n"
      "\n";
  for (int i = 0; i < dialog_template_count; ++i)
    out += rc_dialog_resource(dialog_templates[i]) + "\n";

  out += std::to_string(IDI_PROGRAM) + " ICON " + rc_quote(inputs.icon_file) + "\n\n";
  for (const FirmwareResource& f : inputs.firmware)
    out += numbers({f.number}) + " QEL_FIRMWARE " + rc_quote(f.file) + "\n";
  out += "\n";

  out +=
      "1 VERSIONINFO\n"
      "FILEVERSION " +
      comma +
      "\n"
      "PRODUCTVERSION " +
      comma +
      "\n"
      "FILEFLAGSMASK VS_FFI_FILEFLAGSMASK\n"
      "FILEFLAGS 0\n"
      "FILEOS VOS_NT_WINDOWS32\n"
      "FILETYPE VFT_APP\n"
      "FILESUBTYPE 0\n"
      "BEGIN\n"
      "    BLOCK \"StringFileInfo\"\n"
      "    BEGIN\n"
      "        BLOCK \"040904e4\"\n"
      "        BEGIN\n"
      "            VALUE \"CompanyName\", \"QEL\"\n"
      "            VALUE \"FileDescription\", " +
      rc_quote(inputs.file_description) +
      "\n"
      "            VALUE \"FileVersion\", " +
      rc_quote(dotted) +
      "\n"
      "            VALUE \"InternalName\", " +
      rc_quote(inputs.internal_name) +
      "\n"
      "            VALUE \"OriginalFilename\", " +
      rc_quote(inputs.internal_name + ".exe") +
      "\n"
      "            VALUE \"ProductName\", \"qel-upgrade\"\n"
      "            VALUE \"ProductVersion\", " +
      rc_quote(dotted) +
      "\n"
      "        END\n"
      "    END\n"
      "    BLOCK \"VarFileInfo\"\n"
      "    BEGIN\n"
      "        VALUE \"Translation\", 0x409, 1252\n"
      "    END\n"
      "END\n";
  return out;
}

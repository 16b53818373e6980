// The ten dialog templates of the wizard, as plain data defined once.
//
// Everything that shows a dialog reads this: the dialog layer of every
// platform, the generator of the Windows resource script and the other
// front-ends. Sizes and positions are dialog units; controls are listed in
// template order, which is also the tab order of the ones that take focus.
// Only the standard library is used here, so any front-end can include it.
#pragma once

enum class ControlKind {
  PushButton,
  DefaultPushButton,  // Enter presses it
  Edit,
  StaticText,
  StaticIcon,
  ProgressBar,
  ComboBox,   // drop-down list: no typing, items kept in the order added
  IpAddress,  // four-field IPv4 address entry; its text is the dotted form
};

// Style flags of a control (combine with |).
enum ControlStyle : unsigned {
  CTL_READ_ONLY = 1u << 0,
  CTL_MULTI_LINE = 1u << 1,
  CTL_BORDER = 1u << 2,
  CTL_AUTO_HSCROLL = 1u << 3,  // the text scrolls sideways as it is typed
  CTL_PASSWORD = 1u << 4,      // characters are masked
  CTL_TEXT_LEFT = 1u << 5,
  CTL_TEXT_CENTER = 1u << 6,
  CTL_TEXT_RIGHT = 1u << 7,
  CTL_NO_TAB_STOP = 1u << 8,  // skipped by Tab and by the default focus
  CTL_VSCROLL = 1u << 9,      // vertical scroll bar (the combo box's list)
};

// Frame flags of a dialog (combine with |).
enum DialogFrameStyle : unsigned {
  FRAME_POPUP = 1u << 0,
  FRAME_CAPTION = 1u << 1,
  FRAME_SYSTEM_MENU = 1u << 2,  // the close box
  FRAME_MODAL = 1u << 3,        // the thick modal-dialog border
};

inline constexpr int CONTROL_ID_NONE = -1;

struct ControlTemplate {
  int id;  // CONTROL_ID_NONE for controls the program never addresses
  ControlKind kind;
  const char* text;  // never null; "" when the template gives no text
  int x, y, width, height;
  unsigned style;   // ControlStyle flags
  int icon;         // icon resource number of a StaticIcon, else 0
  int list_height;  // height of a ComboBox's dropped list, else 0
};

struct DialogTemplate {
  int id;
  unsigned frame;  // DialogFrameStyle flags
  const char* font_face;
  int font_points;
  const char* caption;  // as stored; most dialogs replace it when they open
  int x, y, width, height;
  const ControlTemplate* controls;
  int control_count;
};

// The templates, in this order:
// 139, 101, 305, 104, 105, 103, 304, 114, 110, 111.
extern const DialogTemplate dialog_templates[];
extern const int dialog_template_count;

// Null when there is no template with that id.
const DialogTemplate* dialog_template_find(int id);

// The first control with that id, or null.
const ControlTemplate* dialog_template_control(const DialogTemplate* dialog, int id);

// Whether the control can hold the keyboard focus: buttons, edits, combo
// boxes and the address entry, unless marked CTL_NO_TAB_STOP.
bool control_takes_focus(const ControlTemplate& control);

// Plain names for generators and diagnostics, e.g. "default push button".
const char* control_kind_name(ControlKind kind);

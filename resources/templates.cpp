#include "resources/templates.h"

#include <iterator>

#include "resources/ids.h"

namespace {

using K = ControlKind;

constexpr unsigned FRAME = FRAME_POPUP | FRAME_CAPTION | FRAME_SYSTEM_MENU | FRAME_MODAL;
constexpr const char* FONT = "MS Sans Serif";
constexpr int FONT_POINTS = 8;

// Read-only text blocks the program fills.
constexpr unsigned TEXT_BLOCK = CTL_READ_ONLY | CTL_MULTI_LINE;
// Read-only one-line fields with a border.
constexpr unsigned FIELD = CTL_READ_ONLY | CTL_BORDER;

// Warning before anything is done.
const ControlTemplate warning_controls[] = {
    {IDOK, K::PushButton, "Continue", 41, 116, 50, 14, 0, 0, 0},
    {IDCANCEL, K::DefaultPushButton, "Cancel", 109, 116, 50, 14, 0, 0, 0},
    {IDC_WARNING_TEXT, K::Edit, "", 12, 13, 189, 95, TEXT_BLOCK | CTL_NO_TAB_STOP, 0, 0},
};

// Device address entry; the adapter (101) and phone (305) variants differ
// only in their frame and the icon.
#define QEL_ADDRESS_CONTROLS(icon_number)                                                      \
  {IDOK, K::DefaultPushButton, "OK", 26, 126, 50, 14, 0, 0, 0},                                \
      {IDCANCEL, K::PushButton, "Cancel", 86, 126, 50, 14, 0, 0, 0},                           \
      {IDC_ADDRESS_HEADING, K::Edit, "", 13, 6, 139, 16, TEXT_BLOCK, 0, 0},                    \
      {IDC_ADDRESS_INSTRUCTIONS, K::Edit, "", 13, 42, 148, 56, TEXT_BLOCK, 0, 0},              \
      {IDC_ADDRESS_VERSION, K::Edit, "", 37, 28, 89, 14, CTL_READ_ONLY, 0, 0},                 \
      {IDC_LOCAL_ADDRESS, K::ComboBox, "", 63, 153, 79, 80, CTL_VSCROLL, 0, 80},               \
      {CONTROL_ID_NONE, K::StaticText, "Your IP Address", 9, 156, 52, 8, CTL_TEXT_LEFT, 0, 0}, \
      {CONTROL_ID_NONE, K::StaticIcon, "", 119, 18, 20, 20, 0, icon_number, 0},                \
      {IDC_DEVICE_ADDRESS, K::IpAddress, "", 26, 103, 109, 15, 0, 0, 0},

const ControlTemplate address_adapter_controls[] = {QEL_ADDRESS_CONTROLS(IDI_PROGRAM)};
const ControlTemplate address_phone_controls[] = {QEL_ADDRESS_CONTROLS(IDI_PHONE)};
#undef QEL_ADDRESS_CONTROLS

// User name and password when the device asks for them.
const ControlTemplate password_controls[] = {
    {IDOK, K::DefaultPushButton, "OK", 32, 210, 50, 14, 0, 0, 0},
    {IDCANCEL, K::PushButton, "Cancel", 104, 210, 50, 14, 0, 0, 0},
    {IDC_USER_NAME, K::Edit, "", 68, 168, 85, 14, CTL_BORDER | CTL_AUTO_HSCROLL, 0, 0},
    {IDC_PASSWORD, K::Edit, "", 68, 186, 85, 14, CTL_BORDER | CTL_AUTO_HSCROLL | CTL_PASSWORD, 0,
     0},
    {CONTROL_ID_NONE, K::StaticText, "User", 18, 170, 44, 8, CTL_TEXT_RIGHT, 0, 0},
    {CONTROL_ID_NONE, K::StaticText, "Password", 18, 191, 44, 8, CTL_TEXT_RIGHT, 0, 0},
    {IDC_PASSWORD_EXPLANATION, K::Edit, "", 15, 9, 165, 152, TEXT_BLOCK, 0, 0},
};

// Progress of a device query.
const ControlTemplate connecting_controls[] = {
    {IDCANCEL, K::PushButton, "Cancel", 65, 34, 50, 14, 0, 0, 0},
    {IDC_PROGRESS, K::ProgressBar, "", 22, 10, 141, 14, CTL_BORDER, 0, 0},
};

// Confirmation, Target stage (103) and Transition stage (304): the same
// controls; 304 is larger and its text block has room for the stage note.
const ControlTemplate confirm_target_controls[] = {
    {IDOK, K::DefaultPushButton, "Upgrade", 33, 143, 50, 14, 0, 0, 0},
    {IDCANCEL, K::PushButton, "Cancel", 87, 143, 50, 14, 0, 0, 0},
    {IDC_SERIAL_NUMBER, K::Edit, "", 82, 49, 67, 14, FIELD, 0, 0},
    {IDC_MAC_ADDRESS, K::Edit, "", 82, 66, 67, 14, FIELD, 0, 0},
    {IDC_SOFTWARE_VERSION, K::Edit, "", 82, 84, 67, 14, FIELD, 0, 0},
    {IDC_HARDWARE_VERSION, K::Edit, "", 82, 100, 67, 14, FIELD, 0, 0},
    {IDC_PRODUCT_NAME, K::Edit, "", 82, 118, 67, 14, FIELD, 0, 0},
    {CONTROL_ID_NONE, K::StaticText, "Serial Number", 4, 52, 72, 8, CTL_TEXT_RIGHT, 0, 0},
    {CONTROL_ID_NONE, K::StaticText, "MAC Address", 4, 70, 72, 8, CTL_TEXT_RIGHT, 0, 0},
    {CONTROL_ID_NONE, K::StaticText, "Software Version", 4, 87, 72, 8, CTL_TEXT_RIGHT, 0, 0},
    {CONTROL_ID_NONE, K::StaticText, "Hardware Version", 4, 103, 72, 8, CTL_TEXT_RIGHT, 0, 0},
    {CONTROL_ID_NONE, K::StaticText, "Product Name", 4, 121, 72, 8, CTL_TEXT_RIGHT, 0, 0},
    {IDC_CONFIRM_TEXT, K::Edit, "", 12, 6, 142, 37, TEXT_BLOCK, 0, 0},
};

const ControlTemplate confirm_transition_controls[] = {
    {IDOK, K::DefaultPushButton, "Upgrade", 42, 179, 50, 14, 0, 0, 0},
    {IDCANCEL, K::PushButton, "Cancel", 96, 179, 50, 14, 0, 0, 0},
    {IDC_SERIAL_NUMBER, K::Edit, "", 92, 86, 67, 14, FIELD, 0, 0},
    {IDC_MAC_ADDRESS, K::Edit, "", 92, 103, 67, 14, FIELD, 0, 0},
    {IDC_SOFTWARE_VERSION, K::Edit, "", 92, 121, 67, 14, FIELD, 0, 0},
    {IDC_HARDWARE_VERSION, K::Edit, "", 92, 137, 67, 14, FIELD, 0, 0},
    {IDC_PRODUCT_NAME, K::Edit, "", 92, 154, 67, 14, FIELD, 0, 0},
    {CONTROL_ID_NONE, K::StaticText, "Serial Number", 14, 89, 72, 8, CTL_TEXT_RIGHT, 0, 0},
    {CONTROL_ID_NONE, K::StaticText, "MAC Address", 14, 106, 72, 8, CTL_TEXT_RIGHT, 0, 0},
    {CONTROL_ID_NONE, K::StaticText, "Software Version", 14, 124, 72, 8, CTL_TEXT_RIGHT, 0, 0},
    {CONTROL_ID_NONE, K::StaticText, "Hardware Version", 14, 140, 72, 8, CTL_TEXT_RIGHT, 0, 0},
    {CONTROL_ID_NONE, K::StaticText, "Product Name", 14, 158, 72, 8, CTL_TEXT_RIGHT, 0, 0},
    {IDC_CONFIRM_TEXT, K::Edit, "", 23, 7, 142, 77, TEXT_BLOCK, 0, 0},
};

// Waiting for the device's TFTP request; the listener fills 1022.
const ControlTemplate waiting_controls[] = {
    {IDCANCEL, K::PushButton, "Cancel", 108, 115, 50, 14, 0, 0, 0},
    {IDC_PROGRESS, K::ProgressBar, "", 38, 95, 191, 14, CTL_BORDER, 0, 0},
    {IDC_WAITING_TEXT, K::StaticText, "", 15, 9, 244, 79, CTL_TEXT_LEFT, 0, 0},
};

// Transfer progress and the wait after it.
const ControlTemplate upload_controls[] = {
    {IDCANCEL, K::PushButton, "Cancel", 126, 52, 50, 14, 0, 0, 0},
    {IDC_PROGRESS, K::ProgressBar, "", 31, 36, 242, 8, CTL_BORDER, 0, 0},
    {CONTROL_ID_NONE, K::StaticText,
     "Please do not unplug the power of your QEL until the Status Light stops blinking", 86, 12,
     137, 22, CTL_TEXT_CENTER, 0, 0},
};

// Success report; the static line is the maker's web address.
const ControlTemplate success_controls[] = {
    {IDOK, K::DefaultPushButton, "OK", 59, 94, 50, 14, 0, 0, 0},
    {IDC_NEW_VERSION, K::Edit, "", 15, 69, 136, 14, FIELD | CTL_TEXT_CENTER, 0, 0},
    {IDC_SUCCESS_TEXT, K::Edit, "", 29, 9, 111, 33, TEXT_BLOCK, 0, 0},
    {CONTROL_ID_NONE, K::StaticText, "qel.example", 82, 50, 53, 8, CTL_TEXT_LEFT, 0, 0},
};

template <std::size_t N>
constexpr DialogTemplate dialog(int id, const char* caption, int x, int y, int width, int height,
                                const ControlTemplate (&controls)[N]) {
  return {id,    FRAME,  FONT,     FONT_POINTS,        caption, x, y,
          width, height, controls, static_cast<int>(N)};
}

}  // namespace

const DialogTemplate dialog_templates[] = {
    dialog(IDD_WARNING, "QEL-5200 Firmware Upgrade", 0, 0, 204, 143, warning_controls),
    dialog(IDD_ADDRESS_ADAPTER, "Enter QEL IP Address", 200, 200, 165, 181,
           address_adapter_controls),
    dialog(IDD_ADDRESS_PHONE, "Dialog", 0, 0, 164, 178, address_phone_controls),
    dialog(IDD_PASSWORD, "Enter Password Information", 200, 200, 191, 236, password_controls),
    dialog(IDD_CONNECTING, "Connecting with QEL", 200, 200, 186, 55, connecting_controls),
    dialog(IDD_CONFIRM_TARGET, "Confirm Upgrade", 200, 200, 172, 166, confirm_target_controls),
    dialog(IDD_CONFIRM_TRANSITION, "Confirm Upgrade", 0, 0, 186, 198, confirm_transition_controls),
    dialog(IDD_WAITING, "Waiting For Firmware Download Request From QEL", 0, 0, 270, 141,
           waiting_controls),
    dialog(IDD_UPLOAD, "Uploading Firmware To QEL", 0, 0, 303, 77, upload_controls),
    dialog(IDD_SUCCESS, "QEL Upgrade Successful!", 0, 0, 171, 126, success_controls),
};

const int dialog_template_count = static_cast<int>(std::size(dialog_templates));

const DialogTemplate* dialog_template_find(int id) {
  for (const DialogTemplate& t : dialog_templates)
    if (t.id == id) return &t;
  return nullptr;
}

const ControlTemplate* dialog_template_control(const DialogTemplate* dialog, int id) {
  if (!dialog) return nullptr;
  for (int i = 0; i < dialog->control_count; ++i)
    if (dialog->controls[i].id == id) return &dialog->controls[i];
  return nullptr;
}

bool control_takes_focus(const ControlTemplate& control) {
  if (control.style & CTL_NO_TAB_STOP) return false;
  switch (control.kind) {
    case ControlKind::PushButton:
    case ControlKind::DefaultPushButton:
    case ControlKind::Edit:
    case ControlKind::ComboBox:
    case ControlKind::IpAddress:
      return true;
    case ControlKind::StaticText:
    case ControlKind::StaticIcon:
    case ControlKind::ProgressBar:
      return false;
  }
  return false;
}

const char* control_kind_name(ControlKind kind) {
  switch (kind) {
    case ControlKind::PushButton:
      return "push button";
    case ControlKind::DefaultPushButton:
      return "default push button";
    case ControlKind::Edit:
      return "edit";
    case ControlKind::StaticText:
      return "static text";
    case ControlKind::StaticIcon:
      return "static icon";
    case ControlKind::ProgressBar:
      return "progress bar";
    case ControlKind::ComboBox:
      return "combo box";
    case ControlKind::IpAddress:
      return "IP address";
  }
  return "unknown";
}

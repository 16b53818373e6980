#include <cstdio>
#include <cstring>

#include "session/session.h"
#include "firmware/firmware.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "resources/ids.h"
#include "ui/ui.h"

const char INVALID_ADDRESS_TEXT[] = "Invalid IP Address";

namespace {

const char PHONE_INSTRUCTIONS[] =
    "To proceed, please provide the IP address\r\nof your QEL. To find out the IP address of\r\n"
    "your QEL, press the I button on the phone,\r\nselect \"Network\" option, and check the\r\n"
    "value of \"Current IP\". For example, 10.1.0.13\r\n\r\nPlease enter IP address of your QEL:";
const char ADAPTER_INSTRUCTIONS[] =
    "To proceed, please provide the IP address\r\nof your QEL. To find out the IP address\r\n"
    "of your QEL, using a telephone handset,\r\nenter # # # #, option 110#, and write down\r\n"
    "the value. For example, 10.1.0.123\r\n\r\nPlease enter IP address of your QEL:";
const char NO_LOCAL_ADDRESS[] =
    "This PC has no IPv4 address to reach the QEL from.\r\n"
    "Connect it to the QEL's network and start the upgrade again.";

bool is_separator(char c) { return c == '.' || c == '*'; }

// Decimal value of a run of digits; saturates instead of overflowing, since
// anything above 255 is refused all the same.
int part_value(const char* begin, const char* end) {
  int value = 0;
  for (const char* p = begin; p < end; ++p) {
    value = value * 10 + (*p - '0');
    if (value > 255) return 256;
  }
  return value;
}

}  // namespace

int parse_ip_address(const char* text, std::uint32_t* address) {
  *address = 0;
  std::size_t n = std::strlen(text);
  if (n > 15 || n < 7) return 4;
  for (std::size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (!(c >= '0' && c <= '9') && !is_separator(c)) return 5;
  }
  // Split as strtok would: runs of separators count as one, and separators at
  // either end make no empty part.
  std::uint32_t octets[4];
  int parts = 0;
  const char* p = text;
  while (*p) {
    while (is_separator(*p)) ++p;
    if (!*p) break;
    const char* start = p;
    while (*p && !is_separator(*p)) ++p;
    if (parts == 4) return 2;
    int value = part_value(start, p);
    if (value > 255) return 1;
    octets[parts++] = static_cast<std::uint32_t>(value);
  }
  if (parts < 4) return 3;
  *address = octets[0] << 24 | octets[1] << 16 | octets[2] << 8 | octets[3];
  return 0;
}

AddressVerdict accept_device_address(int local_address_index) {
  parse_ip_address(wizard.device_address_text, &wizard.DeviceAddress);
  if (wizard.DeviceAddress == 0) return ADDRESS_INVALID;
  // The combo box lists only the entries before the first 0; an index outside
  // them (an empty list has no selection) must never reach past the list.
  if (local_address_index < 0 || local_address_index >= 8 ||
      wizard.LocalAddressList[local_address_index] == 0) {
    wizard.DeviceAddress = 0;
    return ADDRESS_NO_LOCAL;
  }
  draw_request_file_name(wizard.upgrade_stage.load());
  wizard.ServerAddress = wizard.LocalAddressList[local_address_index];
  trace("+++ using %x\n", static_cast<unsigned>(wizard.ServerAddress));
  return ADDRESS_ACCEPTED;
}

std::intptr_t address_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                  std::intptr_t) {
  if (message == WM_INITDIALOG) {
    for (int i = 0; i < 8 && wizard.LocalAddressList[i] != 0; ++i) {
      std::uint32_t a = wizard.LocalAddressList[i];
      char text[16];
      std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff,
                    a & 0xff);
      dialog_combo_add(dialog, IDC_LOCAL_ADDRESS, text);
    }
    dialog_combo_select(dialog, IDC_LOCAL_ADDRESS, 0);
    char caption[64];
    std::snprintf(caption, sizeof caption, "%s Firmware Upgrade", model_name);
    dialog_set_caption(dialog, caption);
    dialog_set_item_text(dialog, IDC_ADDRESS_HEADING,
                         "This program will upgrade your QEL\r\nfirmware to:");
    dialog_set_item_text(dialog, IDC_ADDRESS_INSTRUCTIONS,
                         phone_family ? PHONE_INSTRUCTIONS : ADAPTER_INSTRUCTIONS);
    char version[64];
    std::snprintf(version, sizeof version, "Version %s", image_version(&target_image));
    dialog_set_item_text(dialog, IDC_ADDRESS_VERSION, version);
    dialog_focus_item(dialog, IDC_DEVICE_ADDRESS);
    center_window(dialog);
    return FALSE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (wparam & 0xffff) {
    case IDOK:
      dialog_get_item_text(dialog, IDC_DEVICE_ADDRESS, wizard.device_address_text, 63);
      switch (accept_device_address(dialog_combo_selection(dialog, IDC_LOCAL_ADDRESS))) {
        case ADDRESS_ACCEPTED:
          dialog_end(dialog, 1);
          break;
        case ADDRESS_INVALID:
          dialog_message_box(dialog, INVALID_ADDRESS_TEXT, "Error");
          dialog_focus_item(dialog, IDC_DEVICE_ADDRESS);
          break;
        case ADDRESS_NO_LOCAL:
          dialog_message_box(dialog, NO_LOCAL_ADDRESS, "Error");
          break;
      }
      return TRUE;
    case IDCANCEL:
      dialog_end(dialog, 0);
      return TRUE;
  }
  return FALSE;
}

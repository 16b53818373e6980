// The warning, confirm and success dialogs.
#include <cstdio>

#include "session/session.h"
#include "firmware/firmware.h"
#include "resources/ids.h"
#include "ui/ui.h"

const char TRANSITION_NOTE_PREFIX[] = "Note: ";

namespace {

const char WARNING_TEXT[] =
    "WARNING: Forcing a firmware upgrade on your QEL\r\nwithout prior approval from your service "
    "provider or\r\nnetwork administrator may cause interruption to your\r\nservice.  If your QEL "
    "is managed by a service\r\nprovider who retains administrative control of the\r\ndevice, "
    "please contact the service provider for\r\nauthorization before proceeding.  In such cases, "
    "the\r\nmost current, approved for service firmware is\r\nautomatically provided by your "
    "service provider without\r\nany onus on the end user to upgrade manually.";

const char CONFIRM_TEXT[] =
    "The following information was extracted\r\nfrom your QEL. Please click \"Upgrade\"\r\n"
    "if you would like to proceed. If you would\r\nlike to quit click \"Cancel\".";

const char TRANSITION_NOTE_FORMAT[] =
    "%s\r\n\r\n%sSince your current firmware version\r\nis older than %s, this upgrade "
    "procedure\r\nrequires additional steps and will be\r\nslightly longer.\r\n";

const char SUCCESS_TEXT[] =
    "Your QEL has been successfully\r\nupgraded to the version shown\r\nbelow.";

}  // namespace

std::intptr_t end_on_button(DialogHandle dialog, std::uintptr_t wparam) {
  switch (wparam & 0xffff) {
    case IDOK:
      dialog_end(dialog, 1);
      return TRUE;
    case IDCANCEL:
      dialog_end(dialog, 0);
      return TRUE;
  }
  return FALSE;
}

std::intptr_t warning_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                  std::intptr_t) {
  if (message == WM_INITDIALOG) {
    char caption[64];
    std::snprintf(caption, sizeof caption, "%s Firmware Upgrade", model_name);
    dialog_set_caption(dialog, caption);
    dialog_set_item_text(dialog, IDC_WARNING_TEXT, WARNING_TEXT);
    dialog_focus_item(dialog, IDCANCEL);
    center_window(dialog);
    return FALSE;
  }
  return message == WM_COMMAND ? end_on_button(dialog, wparam) : FALSE;
}

std::intptr_t confirm_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                  std::intptr_t) {
  if (message == WM_INITDIALOG) {
    char caption[80];
    std::snprintf(caption, sizeof caption, "Confirm Upgrade to Ver. %s",
                  image_version(&target_image));
    dialog_set_caption(dialog, caption);
    if (wizard.upgrade_stage.load() == STAGE_TARGET) {
      dialog_set_item_text(dialog, IDC_CONFIRM_TEXT, CONFIRM_TEXT);
    } else {
      char text[512];
      std::snprintf(text, sizeof text, TRANSITION_NOTE_FORMAT, CONFIRM_TEXT, TRANSITION_NOTE_PREFIX,
                    image_version(&transition_image));
      dialog_set_item_text(dialog, IDC_CONFIRM_TEXT, text);
    }
    DeviceInfo info;
    device_info_snapshot(&info);
    dialog_set_item_text(dialog, IDC_SERIAL_NUMBER, info.serial_number);
    dialog_set_item_text(dialog, IDC_MAC_ADDRESS, info.mac_address);
    dialog_set_item_text(dialog, IDC_SOFTWARE_VERSION, info.software_version);
    dialog_set_item_text(dialog, IDC_HARDWARE_VERSION, info.hardware_version);
    dialog_set_item_text(dialog, IDC_PRODUCT_NAME, info.product_name);
    center_window(dialog);
    return TRUE;
  }
  return message == WM_COMMAND ? end_on_button(dialog, wparam) : FALSE;
}

std::intptr_t success_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                  std::intptr_t) {
  if (message == WM_INITDIALOG) {
    char caption[96];
    std::snprintf(caption, sizeof caption, "QEL@%s Upgrade Successful!",
                  wizard.device_address_text);
    dialog_set_caption(dialog, caption);
    dialog_set_item_text(dialog, IDC_SUCCESS_TEXT, SUCCESS_TEXT);
    DeviceInfo info;
    device_info_snapshot(&info);
    dialog_set_item_text(dialog, IDC_NEW_VERSION, info.software_version);
    center_window(dialog);
    return TRUE;
  }
  return message == WM_COMMAND ? end_on_button(dialog, wparam) : FALSE;
}

// The password dialog, asked for by a device query that met a challenge.
#include "session/session.h"
#include "resources/ids.h"
#include "ui/ui.h"

namespace {

const char PASSWORD_EXPLANATION[] =
    "This QEL requires a password in order to be\r\nupgraded. If you do not have "
    "administrator's\r\n"
    "privileges for this unit, please contact your\r\nService Provider or network "
    "administrator,\r\n"
    "before proceeding.\r\n\r\nYou must provide the QEL administrator's\r\npassword to upgrade. "
    "If you are the administrator\r\nand forgot the password, you may perform a\r\nfactory reset "
    "by entering # # # #, option 40516#,\r\nand value 1 from a telephone connected to the\r\nunit "
    "to be upgraded.\r\n\r\n"
    "* * * * * * * * * * *  Warning  * * * * * * * * * * *"
    "\r\nAll settings will revert to default values\r\nafter factory reset!  You may not be able "
    "to\r\nreestablish service after completing this upgrade\r\nwithout first reentering service "
    "configuration\r\ninformation.";

}  // namespace

std::intptr_t password_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                   std::intptr_t) {
  if (message == WM_INITDIALOG) {
    dialog_set_item_text(dialog, IDC_PASSWORD_EXPLANATION, PASSWORD_EXPLANATION);
    dialog_set_item_text(dialog, IDC_USER_NAME, "admin");
    dialog_focus_item(dialog, IDC_PASSWORD);
    center_window(dialog);
    return FALSE;
  }
  if (message != WM_COMMAND) return FALSE;
  if ((wparam & 0xffff) == IDOK) {
    char user[128];
    char password[128];
    dialog_get_item_text(dialog, IDC_USER_NAME, user, 127);
    dialog_get_item_text(dialog, IDC_PASSWORD, password, 127);
    set_credentials(user, password);
    wipe_secret(password, sizeof password);
  }
  return end_on_button(dialog, wparam);
}

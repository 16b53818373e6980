// The progress dialogs: Connecting (behind every device query) and the
// listener's waiting and upload dialogs. Their threads pump them while they
// wait; Cancel or the close box aborts the upgrade.
#include <cstdio>

#include "session/session.h"
#include "resources/ids.h"
#include "ui/failures.h"
#include "ui/ui.h"

void abort_upgrade(DialogHandle progress_dialog) {
  dialog_destroy(progress_dialog);
  show_failure(FAILURE_USER_ABORT);
  end_run(0);
}

std::intptr_t connecting_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                     std::intptr_t) {
  if (message == WM_INITDIALOG) {
    char caption[96];
    std::snprintf(caption, sizeof caption, "Connecting with QEL@%s", wizard.device_address_text);
    dialog_set_caption(dialog, caption);
    center_window(dialog);
    dialog_progress_range(dialog, IDC_PROGRESS, 0, 100);
    return TRUE;
  }
  // The query's worker may still be waiting on the network; it is not waited for.
  if (message == WM_COMMAND && (wparam & 0xffff) == IDCANCEL) abort_upgrade(dialog);
  return FALSE;
}

std::intptr_t abort_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                std::intptr_t) {
  if (message == WM_INITDIALOG) {
    center_window(dialog);
    return TRUE;
  }
  if (message == WM_COMMAND && (wparam & 0xffff) == IDCANCEL) abort_upgrade(dialog);
  return FALSE;
}

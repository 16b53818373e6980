#include "session/session.h"
#include "ui/failures.h"
#include "ui/ui.h"

static const char DEFAULT_ERROR_TITLE[] = "QEL Firwmare Upgrade Error";

void show_error(const char* message, const char* title) {
  message_box_task_modal(message, title ? title : DEFAULT_ERROR_TITLE);
}

void abort_upgrade(DialogHandle progress_dialog) {
  dialog_destroy(progress_dialog);
  show_failure(FAILURE_USER_ABORT);
  end_run(0);
}

void center_window(DialogHandle window) {
  WindowRect rect;
  if (!window_get_rect(window, &rect)) return;
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  window_move_top(window, (screen_width() - width) >> 1, (screen_height() - height) >> 1);
}

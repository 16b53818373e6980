#include "platform/dialog.h"

#include <cstdio>
#include <cstdlib>

#include "platform/fake/internal.h"

// Inert: nothing the user could see may appear.

namespace {
char dialog_cell;  // every dialog handle points here; nothing reads through it
}

int dialog_box(AppInstance, int, DialogProc) { return 0; }
DialogHandle dialog_create(AppInstance, int, DialogProc) {
  return reinterpret_cast<DialogHandle>(&dialog_cell);
}
void dialog_show(DialogHandle) {}
void dialog_end(DialogHandle, int) {}
void dialog_destroy(DialogHandle) {}
void dialog_set_caption(DialogHandle, const char* text) { FUZZ_CHECK(text != nullptr); }
void dialog_set_item_text(DialogHandle, int, const char* text) { FUZZ_CHECK(text != nullptr); }
int dialog_get_item_text(DialogHandle, int, char* buffer, int limit) {
  if (limit > 0) buffer[0] = '\0';
  return 0;
}
void dialog_focus_item(DialogHandle, int) {}
void dialog_combo_add(DialogHandle, int, const char*) {}
void dialog_combo_select(DialogHandle, int, int) {}
int dialog_combo_selection(DialogHandle, int) { return -1; }
void dialog_progress_range(DialogHandle, int, int, int) {}
void dialog_progress_pos(DialogHandle, int, int) {}
bool dialog_pump_one(DialogHandle) { return false; }
void dialog_pump_all(DialogHandle) {}

void dialog_message_box(DialogHandle, const char* text, const char*) {
  std::fprintf(stderr, "unexpected message box: %s\n", text);
  std::abort();
}
void message_box_task_modal(const char* text, const char*) {
  std::fprintf(stderr, "unexpected message box: %s\n", text);
  std::abort();
}

bool window_get_rect(DialogHandle, WindowRect*) { return false; }
int screen_width() { return 1024; }
int screen_height() { return 768; }
void window_move_top(DialogHandle, int, int) {}

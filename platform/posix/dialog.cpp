// Interim: message boxes go to stderr until the dialog layer lands.
#include "platform/dialog.h"

#include <cstdio>

void message_box_task_modal(const char* text, const char* title) {
  std::fprintf(stderr, "%s: %s\n", title, text);
}

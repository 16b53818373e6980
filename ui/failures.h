// Every way the wizard's run can fail, in one catalogue: the text it shows
// (kept byte for byte, typos included: scripts and tests match it) and a short
// code that names it for programs. The wizard shows a failure by its number;
// the command line reads the last one shown to name the outcome, never the text.
#pragma once

#include "session/layer.h"

QEL_LAYER_HEADER(UI);

enum Failure {
  FAILURE_NONE = 0,
  FAILURE_USER_ABORT,
  FAILURE_NO_RESPONSE,
  FAILURE_VERSION_NOT_MATCHING,
  FAILURE_UPLOAD_INCOMPLETE,
  FAILURE_IMAGE_DAMAGED,
  FAILURE_SOCKETS_START,
  FAILURE_HTTP_SOCKET,
  FAILURE_HTTP_BIND,
  FAILURE_QUERY_MEMORY,
  FAILURE_QUERY_THREAD,
  FAILURE_SESSION_MEMORY,
  FAILURE_LISTENER_MEMORY,
  FAILURE_LISTENER_SOCKET,
  FAILURE_LISTENER_BIND,
  FAILURE_LISTENER_THREAD,
  FAILURE_COUNT
};

// "Upgrade Failed: ..." as the wizard shows it; "" for FAILURE_NONE.
const char* failure_text(Failure failure);
// "user-abort", "no-response", ...; "" for FAILURE_NONE.
const char* failure_code(Failure failure);

// Shows the failure's text (or `text`, when the platform adds to it) in the
// error box, as show_error does, and records it as the last one shown.
void show_failure(Failure failure, const char* text = nullptr);
// The last failure shown by any thread; FAILURE_NONE before the first.
Failure last_failure();

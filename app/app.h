// The upgrade driver's entry points; its state is the session record.
#pragma once
#include <cstdint>

#include "session/session.h"
#include "platform/process.h"
#include "session/layer.h"

QEL_LAYER_HEADER(APP);

// The body of the program's entry point: start-up, then the upgrade sequence.
// Returns 0 (the process exit code) on the paths that end before the upgrade
// request; later paths end the process from the listener thread.
int wizard_main(AppInstance instance);

void start_up();

// Dotted version text to a number: up to three base-0 unsigned conversions,
// value * 100 + part, one separator skipped between them.
std::int32_t version_number(const char* text);

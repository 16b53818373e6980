// Process-wide state of the upgrade driver and its entry points.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/process.h"

// Which image the next transfer installs. Written by the listener thread once
// per Transition stage and polled by the main thread, hence atomic.
inline constexpr std::uint32_t STAGE_TRANSITION = 0;
inline constexpr std::uint32_t STAGE_TARGET = 1;
extern std::atomic<std::uint32_t> upgrade_stage;

// The stage a run starts in, for the scripted harness and the benchmark:
// called before wizard_main (or before a transfer is served), it replaces the
// build's own starting stage (Target, or Transition in the two-stage build).
void start_in_stage(std::uint32_t stage);

extern AppInstance app_instance;
extern char host_name[128];
extern std::uint32_t LocalAddressList[8];  // host order, ended by the first 0
extern std::uint32_t ServerAddress;        // the PC's address toward the device
extern std::uint32_t DeviceAddress;        // the device as typed; 0 = none
extern char device_address_text[64];       // the address exactly as typed

// The file name the device is told to fetch, e.g. "/qel1a2b.bi1". The main
// thread rewrites it for the second stage while the listener may be reading
// it: both go through these two calls, which never expose a half-written name.
void set_request_file_name(const char* name);
void get_request_file_name(char* out, int size);  // size >= 128
bool request_file_name_is(const char* name);
// Draws a new name for the stage: "/qel%x.bi%u", a 15-bit random number in
// lower-case hexadecimal and the stage's digit (.bi1 Target, .bi0 Transition).
void draw_request_file_name(std::uint32_t stage);

// The body of the program's entry point: start-up, then the upgrade sequence.
// Returns 0 (the process exit code) on the paths that end before the upgrade
// request; later paths end the process from the listener thread.
int wizard_main(AppInstance instance);

void start_up();

// Dotted version text to a number: up to three base-0 unsigned conversions,
// value * 100 + part, one separator skipped between them.
std::int32_t version_number(const char* text);

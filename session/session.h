// The upgrade session: every value that one subsystem writes and another
// reads, in one record, with who writes it, on which thread and when. Every
// other subsystem only reads it. Nothing here is ever freed.
//
// The plain members are written before the thread that reads them is
// started, so the thread's creation orders them. What is written while other
// threads run is either atomic (upgrade_stage) or behind the calls below,
// which never expose a half-written value.
#pragma once
#include <cstddef>
#include <atomic>
#include <cstdint>

#include "platform/process.h"
#include "session/layer.h"

QEL_LAYER_HEADER(SESSION);

inline constexpr std::uint32_t STAGE_TRANSITION = 0;
inline constexpr std::uint32_t STAGE_TARGET = 1;

struct WizardSession {
  // The entry point, on the main thread, before start-up; any thread then
  // loads resources and creates dialogs with it.
  AppInstance app_instance{};

  // Start-up, on the main thread, before any other thread exists.
  char host_name[128]{};
  std::uint32_t LocalAddressList[8]{};  // host order, ended by the first 0

  // The address dialog's OK, on the main thread, before any other thread
  // exists (start-up sets ServerAddress to the first local address).
  std::uint32_t ServerAddress{};   // the PC toward the device: HTTP binds it, TFTP listens on it
  std::uint32_t DeviceAddress{};   // the device as typed, host order; 0 = none
  char device_address_text[64]{};  // exactly as typed, for the captions

  // Which image the next transfer installs. Starts as the build says; the
  // version gate (main thread, before the listener starts) and the listener
  // thread (after each Transition transfer) move it to Target; the main
  // thread polls it to send the second request.
  std::atomic<std::uint32_t> upgrade_stage{STAGE_TARGET};
};

extern WizardSession wizard;

// The stage a run starts in, for the scripted harness and the benchmark:
// called before wizard_main (or before a transfer is served), it replaces the
// build's own starting stage (Target, or Transition in the two-stage build).
void start_in_stage(std::uint32_t stage);

// The file name the device is told to fetch, e.g. "/qel1a2b.bi1". Drawn by
// the address dialog's OK and again by the main thread for the second
// stage, while the listener thread may be comparing a request with it.
void set_request_file_name(const char* name);
void get_request_file_name(char* out, int size);  // size >= 128
bool request_file_name_is(const char* name);
// Draws a new name for the stage: "/qel%x.bi%u", a 15-bit random number in
// lower-case hexadecimal and the stage's digit (.bi1 Target, .bi0 Transition).
void draw_request_file_name(std::uint32_t stage);

// The five values of the device's information page, each at most 127
// characters. A field changes only when its label is found in a response.
struct DeviceInfo {
  char product_name[128];
  char mac_address[128];
  char software_version[128];
  char hardware_version[128];
  char serial_number[128];
};

// Bits of the DeviceInfo fields an exchange found in its response.
inline constexpr unsigned FOUND_PRODUCT_NAME = 1;
inline constexpr unsigned FOUND_MAC_ADDRESS = 2;
inline constexpr unsigned FOUND_SOFTWARE_VERSION = 4;
inline constexpr unsigned FOUND_HARDWARE_VERSION = 8;
inline constexpr unsigned FOUND_SERIAL_NUMBER = 16;
inline constexpr unsigned FOUND_ALL_FIELDS = 31;

// The device's values as the queries found them. A query publishes the
// fields its exchange found, on the thread that asked (the main thread, or
// the listener thread while it verifies); the dialogs and the version checks
// read one consistent copy.
void publish_device_info(const DeviceInfo& found, unsigned fields);
void device_info_snapshot(DeviceInfo* out);

// The user name and password typed in the password dialog (on the thread
// whose query asked for them); every later exchange authenticates with them.
// Each buffer holds 128 characters. get_credentials hands the password over:
// the session's copy is wiped once taken.
void set_credentials(const char* user_name, const char* password);
void get_credentials(char* user_name, char* password);
// Wipes the session's copy of the password.
void forget_credentials();

// The end of a run, on every path: the session's copy of the password is
// wiped, and so is every other copy a subsystem registered a wipe for (the
// digest state's). Registering the same wipe again does nothing.
void wipe_at_run_end(void (*wipe)());
void forget_run_secrets();
// Ends the run as process_exit does, once its secrets are wiped.
[[noreturn]] void end_run(int code);

// Overwrites a buffer that held a secret with zeros, with volatile writes so
// that the compiler keeps them even when the buffer is not read again.
void wipe_secret(void* data, std::size_t size);

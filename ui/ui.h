// Dialogs that no other subsystem owns, the address entry, and the helpers
// every dialog shares.
#pragma once
#include <cstdint>

#include "platform/dialog.h"

// Task-modal box with one OK button; title null means the program's own.
// Callable from any thread; returns when the user closes it.
void show_error(const char* message, const char* title = nullptr);

// Cancel in a progress dialog (Connecting, waiting, upload): the dialog goes,
// "Upgrade Failed: User Abort" is shown and the process ends, whatever is
// still running on other threads.
[[noreturn]] void abort_upgrade(DialogHandle progress_dialog);

// Centres the window on the screen, on top, without resizing it.
void center_window(DialogHandle window);

// Warning (139), confirm (103/304) and success (111) dialogs.
std::intptr_t warning_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                  std::intptr_t lparam);
std::intptr_t confirm_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                  std::intptr_t lparam);
std::intptr_t success_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                  std::intptr_t lparam);

// The address dialog (101 for adapters, 305 for phones).
std::intptr_t address_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                  std::intptr_t lparam);

// Validates a dotted IPv4 address ('.' or '*' between parts); address is
// always written (0 unless the result is 0). Results: 0 accepted, 1 a part
// above 255, 2 more than four parts, 3 fewer than four, 4 length outside
// 7..15, 5 a character other than a digit, '.' or '*'.
int parse_ip_address(const char* text, std::uint32_t* address);

// What OK in the address dialog does with device_address_text and the index
// chosen in the local address list, apart from the dialog itself: sets
// DeviceAddress, and on acceptance ServerAddress and request_file_name.
enum AddressVerdict { ADDRESS_ACCEPTED, ADDRESS_INVALID, ADDRESS_NO_LOCAL };
AddressVerdict accept_device_address(int local_address_index);

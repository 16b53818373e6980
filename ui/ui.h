// Every dialog procedure of the wizard, the address entry's validation, and
// the helpers every dialog shares. The subsystems that show a dialog own when
// it is shown; what it displays and stores is here.
#pragma once
#include <cstdint>

#include "platform/dialog.h"
#include "session/layer.h"

QEL_LAYER_HEADER(UI);

// Task-modal box with one OK button; title null means the program's own.
// Callable from any thread; returns when the user closes it.
void show_error(const char* message, const char* title = nullptr);

// Cancel in a progress dialog (Connecting, waiting, upload): the dialog goes,
// "Upgrade Failed: User Abort" is shown and the process ends, whatever is
// still running on other threads.
[[noreturn]] void abort_upgrade(DialogHandle progress_dialog);

// What a modal dialog does with a command: id 1 (OK, Continue, Upgrade) ends
// it with 1, id 2 (Cancel, Esc, close box) with 0; nothing else matters.
std::intptr_t end_on_button(DialogHandle dialog, std::uintptr_t wparam);

// Centres the window on the screen, on top, without resizing it.
void center_window(DialogHandle window);

// The confirm dialog's note before a two-stage upgrade starts with it.
extern const char TRANSITION_NOTE_PREFIX[];

// Warning, confirm and success dialogs.
std::intptr_t warning_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                  std::intptr_t lparam);
std::intptr_t confirm_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                  std::intptr_t lparam);
std::intptr_t success_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                  std::intptr_t lparam);

// The progress dialogs: Connecting, and the listener's waiting and upload
// dialogs (abort_dialog_proc). Cancel aborts the upgrade.
std::intptr_t connecting_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                     std::intptr_t lparam);
std::intptr_t abort_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                std::intptr_t lparam);

// The password dialog: OK stores the user name and password in the session.
std::intptr_t password_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                   std::intptr_t lparam);

// The address dialog (one template for adapters, one for phones).
std::intptr_t address_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                  std::intptr_t lparam);

// The box the address dialog shows for an entry it refuses (the command line
// recognises it).
extern const char INVALID_ADDRESS_TEXT[];

// Validates a dotted IPv4 address ('.' or '*' between parts); address is
// always written (0 unless the result is 0). Results: 0 accepted, 1 a part
// above 255, 2 more than four parts, 3 fewer than four, 4 length outside
// 7..15, 5 a character other than a digit, '.' or '*'.
int parse_ip_address(const char* text, std::uint32_t* address);

// What OK in the address dialog does with the session's device_address_text
// and the index chosen in the local address list, apart from the dialog
// itself: sets DeviceAddress, and on acceptance ServerAddress and the request
// file name.
enum AddressVerdict { ADDRESS_ACCEPTED, ADDRESS_INVALID, ADDRESS_NO_LOCAL };
AddressVerdict accept_device_address(int local_address_index);

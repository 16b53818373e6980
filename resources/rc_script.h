// The Windows resource script of the program, written from the dialog
// templates (templates.h) so that the Win32 dialogs and every other
// front-end come from the same data. Host-side code: run at build time by
// qel-make-rc, never part of the program.
#pragma once
#include <string>
#include <vector>

#include "resources/templates.h"

struct FirmwareResource {
  int number;        // 112 (Target) or 319 (Transition)
  std::string file;  // the image, as windres should find it
};

struct ResourceScriptInputs {
  std::string icon_file;  // icon 106
  std::vector<FirmwareResource> firmware;
  int version[4];  // major, minor, patch, build
  // The program's own names in its version resource, as Task Manager,
  // Explorer and allow-lists show them.
  std::string file_description = "QEL Firmware Upgrade";
  std::string internal_name = "qel-upgrade";  // OriginalFilename adds ".exe"
};

// One control statement, e.g. `    DEFPUSHBUTTON "OK", 1, 26, 126, 50, 14`.
// Throws std::invalid_argument for a style the control's kind cannot carry.
std::string rc_control_statement(const ControlTemplate& control);

// One DIALOG resource with its controls in template order (the tab order).
std::string rc_dialog_resource(const DialogTemplate& dialog);

// The whole script: the ten dialogs, icon 106, the firmware images and the
// version resource.
std::string rc_resource_script(const ResourceScriptInputs& inputs);

// A string literal as the resource compiler reads it.
std::string rc_quote(const std::string& text);

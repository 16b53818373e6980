// What every front-end knows about a dialog beyond the dialog layer's
// interface: which controls are buttons and which take typing, the
// templates' default metrics, and how the user's input goes back.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "platform/portable/frontend.h"
#include "resources/templates.h"

namespace frontend {

// A push button, default or not: it sends its id as a command.
bool is_button(ControlKind kind);

// A control the user types into: an edit that is not read-only, or the
// address entry.
bool takes_typing(const ControlTemplate& control);

// The templates' font (MS Sans Serif 8) in pixels per 4 x 8 dialog units,
// as the dialog manager measures it.
inline constexpr int DEFAULT_BASE_X = 6;
inline constexpr int DEFAULT_BASE_Y = 13;

// The outer size of a dialog in the default base units, with a 3-pixel
// border on every side and a 19-pixel caption bar: for front-ends whose
// windows nobody measures.
PixelSize default_pixel_size(const DialogTemplate& dialog_template);

// What the user left in a dialog's editable controls.
struct DialogInput {
  std::vector<std::pair<int, std::string>> texts;  // (control id, text)
  std::vector<std::pair<int, int>> selections;     // (combo box id, item; -1 none)
};

// The input held by a dialog's controls, in template order: the texts of
// those that take typing and the selections of the combo boxes. controls
// are in template order, as a DialogSnapshot gives them.
DialogInput dialog_input(const DialogTemplate& dialog_template,
                         const std::vector<ControlSnapshot>& controls);

// Hands a dialog back what the user did: the texts, then the selections,
// then the command, so that the dialog procedure sees the command with all
// of the input applied. From any thread. Returns whether the command was
// taken (false when the dialog is closed).
bool submit_dialog(DialogHandle dialog, const DialogInput& input, int command);

}  // namespace frontend

#include "frontends/common/dialog.h"

namespace frontend {

namespace {

constexpr int BORDER = 3;
constexpr int CAPTION_BAR = 19;

}  // namespace

bool is_button(ControlKind kind) {
  return kind == ControlKind::PushButton || kind == ControlKind::DefaultPushButton;
}

bool takes_typing(const ControlTemplate& control) {
  return (control.kind == ControlKind::Edit && !(control.style & CTL_READ_ONLY)) ||
         control.kind == ControlKind::IpAddress;
}

PixelSize default_pixel_size(const DialogTemplate& dialog_template) {
  return {
      dialog_units_to_pixels_x(dialog_template.width, DEFAULT_BASE_X) + 2 * BORDER,
      dialog_units_to_pixels_y(dialog_template.height, DEFAULT_BASE_Y) + 2 * BORDER + CAPTION_BAR};
}

DialogInput dialog_input(const DialogTemplate& dialog_template,
                         const std::vector<ControlSnapshot>& controls) {
  DialogInput input;
  for (int i = 0; i < dialog_template.control_count; ++i) {
    const ControlTemplate& c = dialog_template.controls[i];
    const auto index = static_cast<std::size_t>(i);
    if (c.id == CONTROL_ID_NONE || index >= controls.size()) continue;
    if (takes_typing(c)) input.texts.emplace_back(c.id, controls[index].text);
    if (c.kind == ControlKind::ComboBox)
      input.selections.emplace_back(c.id, controls[index].selection);
  }
  return input;
}

bool submit_dialog(DialogHandle dialog, const DialogInput& input, int command) {
  for (const auto& [control, text] : input.texts) dialog_post_item_text(dialog, control, text);
  for (const auto& [control, selection] : input.selections)
    dialog_post_combo_select(dialog, control, selection);
  return dialog_post_command(dialog, command);
}

}  // namespace frontend

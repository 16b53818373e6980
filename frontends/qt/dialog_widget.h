// One dialog of the wizard as a Qt window, built from its template: every
// control at its template position and size, converted from dialog units
// with base units measured on the real font. UI thread only.
#pragma once
#include <QDialog>
#include <QFont>
#include <QRect>
#include <QSize>
#include <functional>
#include <string>
#include <vector>

#include "frontends/common/dialog.h"
#include "platform/portable/frontend.h"
#include "resources/templates.h"

class QWidget;

namespace qtfe {

// Average character width and character height of the dialog font, in
// pixels: what Windows calls the dialog base units (4 x 8 dialog units).
// The width is kept exact rather than rounded to whole pixels: with DejaVu
// Sans rounding loses up to 6 %, enough to wrap the templates' labels.
struct BaseUnits {
  double x = frontend::DEFAULT_BASE_X;
  double y = frontend::DEFAULT_BASE_Y;
};

// Dialog units to pixels, rounded to the nearest pixel.
int to_pixels_x(int units, BaseUnits base);
int to_pixels_y(int units, BaseUnits base);

BaseUnits base_units_for(const QFont& font);

// Where a control stands in the client area, in pixels.
QRect control_rect(const ControlTemplate& control, BaseUnits units);
// The client area of the dialog, in pixels.
QSize client_size(const DialogTemplate& dialog, BaseUnits units);

// Texts of the program use CR LF line ends; Qt wants LF.
QString display_text(const std::string& text);

// Pictures for the icon slot: IDI_PROGRAM is the program's own; anything
// else gets the platform's information icon.
QPixmap icon_pixmap(int icon, int size);

// A window of fixed size with a caption and a close box only (no minimise,
// maximise or help): the dialogs and the message boxes.
Qt::WindowFlags fixed_dialog_flags();

class DialogWidget : public QDialog {
 public:
  // What the user asked for: the id of a button, IDCANCEL for Esc and the
  // close box. Called on the UI thread.
  using CommandHandler = std::function<void(DialogWidget*, int control)>;

  // keys: the dialog manager's keyboard handling, as a modal dialog has it
  // (Esc cancels, Enter presses the focused or the default button). A
  // modeless dialog is pumped without it: there Esc and Enter do nothing.
  DialogWidget(const DialogTemplate& dialog_template, BaseUnits units, CommandHandler on_command,
               bool keys = true);

  const DialogTemplate& dialog_template() const { return template_; }

  // The widget of a control by template index, or null.
  QWidget* control_widget(int index) const;
  // The first control widget with that id, or null.
  QWidget* widget_for_id(int id) const;

  // Applies a whole snapshot (at opening).
  void apply(const DialogSnapshot& snapshot);
  void set_item_text(int control, const std::string& text);
  void set_progress(int control, int low, int high, int position);
  void set_combo(int control, const std::vector<std::string>& items, int selection);
  void focus_control(int control);

  // What the user changed in the editable controls, to be handed back
  // before a command: (control id, text) pairs and (combo id, selection).
  std::vector<std::pair<int, std::string>> editable_texts() const;
  std::vector<std::pair<int, int>> combo_selections() const;

 protected:
  void reject() override;  // Esc
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  const DialogTemplate& template_;
  CommandHandler on_command_;
  bool keys_;
  std::vector<QWidget*> widgets_;  // template order; null where nothing is shown
};

}  // namespace qtfe

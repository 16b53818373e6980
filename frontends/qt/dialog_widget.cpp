#include "frontends/qt/dialog_widget.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTextLayout>
#include <cmath>

#include "frontends/common/text.h"
#include "resources/ids.h"

namespace qtfe {

using frontend::is_button;

namespace {

Qt::Alignment text_alignment(unsigned style) {
  if (style & CTL_TEXT_CENTER) return Qt::AlignHCenter;
  if (style & CTL_TEXT_RIGHT) return Qt::AlignRight;
  return Qt::AlignLeft;
}

// Read-only edits look like the dialog behind them, as on the desktop the
// templates were drawn for.
void blend_with_dialog(QWidget* widget) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Window));
  widget->setPalette(palette);
}

// keys: whether the dialog manager's keyboard handling applies (modal
// dialogs); the modeless ones are pumped without it.
QWidget* make_control(const ControlTemplate& c, QWidget* parent, bool keys) {
  switch (c.kind) {
    case ControlKind::PushButton:
    case ControlKind::DefaultPushButton: {
      auto* button = new QPushButton(QString::fromLatin1(c.text), parent);
      // Enter presses the focused button, else the default one; in a
      // modeless dialog it presses nothing.
      button->setAutoDefault(keys);
      button->setDefault(keys && c.kind == ControlKind::DefaultPushButton);
      return button;
    }
    case ControlKind::Edit: {
      if (c.style & CTL_MULTI_LINE) {
        auto* edit = new QPlainTextEdit(parent);
        edit->setReadOnly(c.style & CTL_READ_ONLY);
        edit->setTabChangesFocus(true);
        edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);  // see fit_text_block
        // Read-only, yet the keys move through it, so a scrolled text can be
        // read from the keyboard too.
        if (c.style & CTL_READ_ONLY)
          edit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        if (!(c.style & CTL_BORDER)) edit->setFrameShape(QFrame::NoFrame);
        edit->document()->setDocumentMargin(0);
        if (c.style & CTL_READ_ONLY) blend_with_dialog(edit);
        return edit;
      }
      auto* edit = new QLineEdit(parent);
      edit->setReadOnly(c.style & CTL_READ_ONLY);
      edit->setFrame(c.style & CTL_BORDER);
      edit->setAlignment(text_alignment(c.style) | Qt::AlignVCenter);
      if (c.style & CTL_PASSWORD) edit->setEchoMode(QLineEdit::Password);
      if ((c.style & CTL_READ_ONLY) && !(c.style & CTL_BORDER)) blend_with_dialog(edit);
      edit->setMaxLength(127);
      return edit;
    }
    case ControlKind::StaticText: {
      auto* label = new QLabel(QString::fromLatin1(c.text), parent);
      label->setTextFormat(Qt::PlainText);
      label->setWordWrap(true);
      label->setAlignment(text_alignment(c.style) | Qt::AlignTop);
      return label;
    }
    case ControlKind::StaticIcon: {
      auto* label = new QLabel(parent);
      label->setAlignment(Qt::AlignCenter);
      return label;
    }
    case ControlKind::ProgressBar: {
      auto* bar = new QProgressBar(parent);
      bar->setTextVisible(false);
      bar->setRange(0, 100);
      bar->setValue(0);
      return bar;
    }
    case ControlKind::ComboBox: {
      auto* combo = new QComboBox(parent);
      combo->setEditable(false);
      return combo;
    }
    case ControlKind::IpAddress: {
      // A plain field: what is typed stays exactly as typed (no mask, no
      // validator, no length limit); the dialog procedure judges it on OK.
      auto* edit = new QLineEdit(parent);
      return edit;
    }
  }
  return nullptr;
}

constexpr qreal SMALLEST_POINT_SIZE = 6.0;
// Below this a block of several lines gets a scroll bar rather than a
// smaller font.
constexpr qreal SMALLEST_BLOCK_POINT_SIZE = 7.5;

// Height of a plain text laid out as a plain text edit lays it out: each of
// its lines wrapped at word boundaries (or anywhere in a word too long).
qreal text_height(const QString& text, const QFont& font, qreal width) {
  qreal height = 0;
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
    QTextLayout layout(paragraph, font);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(width);
      height += line.height();
    }
    layout.endLayout();
  }
  return height;
}

// A read-only block shows its whole text at the template's size: in the
// dialog font when it fits (the texts are broken into lines for the font
// the templates were drawn with, which runs narrower), else in a slightly
// smaller one, else in the dialog font with a scroll bar.
void fit_text_block(QPlainTextEdit* edit) {
  if (!edit->isReadOnly()) return;
  const QFont normal = QApplication::font(edit);
  const QString text = edit->toPlainText();
  const QRect room = edit->contentsRect();
  // A pixel of slack: the last line's descent may touch the edge.
  const qreal width = room.width() - 1, height = room.height() + 1;
  for (QFont font = normal; font.pointSizeF() >= SMALLEST_BLOCK_POINT_SIZE;
       font.setPointSizeF(font.pointSizeF() - 0.5)) {
    if (text_height(text, font, width) <= height) {
      edit->setFont(font);
      edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      return;
    }
  }
  edit->setFont(normal);
  edit->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

// A label shows its whole text in the label's box, in a smaller font if it
// must: one line high, on that line rather than wrapped out of sight; a
// block, wrapped within its height.
void fit_label(QLabel* label) {
  QFont font = QApplication::font(label);
  const QString text = label->text();
  if (label->height() < 2 * QFontMetrics(font).lineSpacing()) {
    label->setWordWrap(false);
    while (QFontMetrics(font).horizontalAdvance(text) > label->width() &&
           font.pointSizeF() > SMALLEST_POINT_SIZE)
      font.setPointSizeF(font.pointSizeF() - 0.5);
  } else {
    label->setWordWrap(true);
    const int flags = Qt::TextWordWrap | static_cast<int>(label->alignment());
    auto needed = [&](const QFont& f) {
      return QFontMetrics(f).boundingRect(QRect(0, 0, label->width(), 1 << 20), flags, text);
    };
    while ((needed(font).height() > label->height() || needed(font).width() > label->width()) &&
           font.pointSizeF() > SMALLEST_POINT_SIZE)
      font.setPointSizeF(font.pointSizeF() - 0.5);
  }
  label->setFont(font);
}

Qt::FocusPolicy focus_policy(const ControlTemplate& c) {
  if (!control_takes_focus(c)) return (c.style & CTL_NO_TAB_STOP) ? Qt::ClickFocus : Qt::NoFocus;
  return Qt::StrongFocus;
}

}  // namespace

Qt::WindowFlags fixed_dialog_flags() {
  return Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
         Qt::WindowCloseButtonHint;
}

BaseUnits base_units_for(const QFont& font) {
  QFontMetricsF metrics(font);
  // The average over the 52 letters, rounded as the dialog manager does.
  qreal letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  BaseUnits units;
  units.x = std::max(1.0, letters / 52.0);
  units.y = std::max(1.0, std::ceil(metrics.height()));
  return units;
}

int to_pixels_x(int units, BaseUnits base) {
  return static_cast<int>(std::lround(units * base.x / 4.0));
}

int to_pixels_y(int units, BaseUnits base) {
  return static_cast<int>(std::lround(units * base.y / 8.0));
}

QRect control_rect(const ControlTemplate& c, BaseUnits units) {
  return QRect(to_pixels_x(c.x, units), to_pixels_y(c.y, units), to_pixels_x(c.width, units),
               to_pixels_y(c.height, units));
}

QSize client_size(const DialogTemplate& d, BaseUnits units) {
  return QSize(to_pixels_x(d.width, units), to_pixels_y(d.height, units));
}

QString display_text(const std::string& text) {
  const std::string plain = frontend::plain_text(text);
  return QString::fromLatin1(plain.data(), static_cast<qsizetype>(plain.size()));
}

QPixmap icon_pixmap(int icon, int size) {
  if (icon != IDI_PROGRAM) {
    return QApplication::style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(size, size);
  }
  // The same picture as the program's icon file and the desktop's icons
  // (resources/make_icon.cpp): a white arrow rising from a bar, on a
  // rounded blue tile.
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size, size);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1f, 0x5f, 0xa8));
  painter.drawRoundedRect(QRectF(0.03, 0.03, 0.94, 0.94), 0.18, 0.18);
  painter.setBrush(Qt::white);
  painter.drawRect(QRectF(0.22, 0.74, 0.56, 0.10));
  painter.drawRect(QRectF(0.42, 0.40, 0.16, 0.28));
  painter.drawPolygon(QPolygonF({QPointF(0.5, 0.14), QPointF(0.78, 0.42), QPointF(0.22, 0.42)}));
  return pixmap;
}

void DialogWidget::keyPressEvent(QKeyEvent* event) {
  // A modeless dialog is pumped without the dialog manager's keyboard
  // handling: Esc and Enter do nothing there, only its buttons and the
  // close box act.
  const int key = event->key();
  if (!keys_ && (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

DialogWidget::DialogWidget(const DialogTemplate& dialog_template, BaseUnits units,
                           CommandHandler on_command, bool keys)
    : QDialog(nullptr),
      template_(dialog_template),
      on_command_(std::move(on_command)),
      keys_(keys) {
  setWindowTitle(QString::fromLatin1(dialog_template.caption));
  // Only the close box: no help, no minimise or maximise, no size grip; the
  // size is the template's.
  setWindowFlags(fixed_dialog_flags());
  setFixedSize(client_size(dialog_template, units));
  setSizeGripEnabled(false);
  setWindowIcon(QIcon(icon_pixmap(IDI_PROGRAM, 32)));

  QWidget* previous_tab = nullptr;
  for (int i = 0; i < dialog_template.control_count; ++i) {
    const ControlTemplate& c = dialog_template.controls[i];
    QWidget* widget = make_control(c, this, keys);
    widgets_.push_back(widget);
    if (!widget) continue;
    widget->setObjectName(QStringLiteral("control-%1-%2").arg(i).arg(c.id));
    QRect rect = control_rect(c, units);
    if (c.kind == ControlKind::ComboBox) {
      // The template's height is that of the dropped list; the closed box
      // keeps its natural height, and the list shows as many rows as fit.
      rect.setHeight(std::min(rect.height(), widget->sizeHint().height()));
      auto* combo = static_cast<QComboBox*>(widget);
      combo->setMaxVisibleItems(std::max(1, c.list_height / 8 - 1));
    }
    if (c.kind == ControlKind::StaticIcon) {
      static_cast<QLabel*>(widget)->setPixmap(
          icon_pixmap(c.icon, std::min(rect.width(), rect.height())));
    }
    widget->setGeometry(rect);
    if (c.kind == ControlKind::StaticText) fit_label(static_cast<QLabel*>(widget));
    widget->setFocusPolicy(focus_policy(c));
    if (control_takes_focus(c)) {
      if (previous_tab) QWidget::setTabOrder(previous_tab, widget);
      previous_tab = widget;
    }
    if (is_button(c.kind)) {
      const int id = c.id;
      connect(static_cast<QPushButton*>(widget), &QPushButton::clicked, this,
              [this, id] { on_command_(this, id); });
    }
  }
}

QWidget* DialogWidget::control_widget(int index) const {
  if (index < 0 || index >= static_cast<int>(widgets_.size())) return nullptr;
  return widgets_[static_cast<std::size_t>(index)];
}

QWidget* DialogWidget::widget_for_id(int id) const {
  if (id == CONTROL_ID_NONE) return nullptr;
  for (int i = 0; i < template_.control_count; ++i)
    if (template_.controls[i].id == id) return control_widget(i);
  return nullptr;
}

void DialogWidget::apply(const DialogSnapshot& s) {
  setWindowTitle(QString::fromLatin1(s.caption.c_str()));
  for (const ControlSnapshot& c : s.controls) {
    switch (c.kind) {
      case ControlKind::ProgressBar:
        set_progress(c.id, c.range_low, c.range_high, c.position);
        break;
      case ControlKind::ComboBox:
        set_combo(c.id, c.items, c.selection);
        break;
      case ControlKind::PushButton:
      case ControlKind::DefaultPushButton:
      case ControlKind::StaticIcon:
        break;
      default:
        set_item_text(c.id, c.text);
        break;
    }
  }
  // The id-less statics keep their template texts.
}

void DialogWidget::set_item_text(int control, const std::string& text) {
  QWidget* widget = widget_for_id(control);
  if (!widget) return;
  if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
    edit->setPlainText(display_text(text));
    fit_text_block(edit);
  } else if (auto* line = qobject_cast<QLineEdit*>(widget)) {
    QString value = display_text(text);
    value.replace(QLatin1Char('\n'), QLatin1Char(' '));
    // What the program sets is shown even where the validator would refuse
    // it as typing; setText does not consult the validator.
    line->setText(value);
    line->setCursorPosition(0);
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(display_text(text));
    fit_label(label);
  } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
    button->setText(display_text(text));
  }
}

void DialogWidget::set_progress(int control, int low, int high, int position) {
  auto* bar = qobject_cast<QProgressBar*>(widget_for_id(control));
  if (!bar) return;
  // An inverted range shows as an empty bar rather than Qt's busy indicator.
  if (high < low) high = low;
  if (high == low) ++high;
  bar->setRange(low, high);
  bar->setValue(std::clamp(position, low, high));
}

void DialogWidget::set_combo(int control, const std::vector<std::string>& items, int selection) {
  auto* combo = qobject_cast<QComboBox*>(widget_for_id(control));
  if (!combo) return;
  QSignalBlocker quiet(combo);
  combo->clear();
  for (const std::string& item : items) combo->addItem(QString::fromLatin1(item.c_str()));
  combo->setCurrentIndex(selection >= 0 && selection < combo->count() ? selection : -1);
}

void DialogWidget::focus_control(int control) {
  if (QWidget* widget = widget_for_id(control)) widget->setFocus(Qt::OtherFocusReason);
}

std::vector<std::pair<int, std::string>> DialogWidget::editable_texts() const {
  std::vector<std::pair<int, std::string>> out;
  for (int i = 0; i < template_.control_count; ++i) {
    const ControlTemplate& c = template_.controls[i];
    if (c.id == CONTROL_ID_NONE || !frontend::takes_typing(c)) continue;
    if (auto* line = qobject_cast<QLineEdit*>(control_widget(i)))
      out.emplace_back(c.id, line->text().toLatin1().toStdString());
    else if (auto* edit = qobject_cast<QPlainTextEdit*>(control_widget(i)))
      out.emplace_back(c.id, edit->toPlainText()
                                 .replace(QLatin1Char('\n'), QStringLiteral("\r\n"))
                                 .toLatin1()
                                 .toStdString());
  }
  return out;
}

std::vector<std::pair<int, int>> DialogWidget::combo_selections() const {
  std::vector<std::pair<int, int>> out;
  for (int i = 0; i < template_.control_count; ++i) {
    const ControlTemplate& c = template_.controls[i];
    if (c.kind != ControlKind::ComboBox || c.id == CONTROL_ID_NONE) continue;
    if (auto* combo = qobject_cast<QComboBox*>(control_widget(i)))
      out.emplace_back(c.id, combo->currentIndex());
  }
  return out;
}

void DialogWidget::reject() { on_command_(this, IDCANCEL); }

void DialogWidget::closeEvent(QCloseEvent* event) {
  // The window stays until the program ends the dialog.
  event->ignore();
  on_command_(this, IDCANCEL);
}

}  // namespace qtfe

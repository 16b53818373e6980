// The Qt front-end on the offscreen platform: layouts against the templates,
// what each kind of control becomes, the input paths back to the dialog
// layer, and the threading (marshalling, merged progress, per-thread
// modality) with the real dialog layer and real owner threads.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "frontends/qt/qt_frontend.h"
#include "resources/ids.h"

namespace {

using qtfe::BaseUnits;
using qtfe::DialogWidget;

// DejaVu Sans 9 pt measures about this; fixed so that the cases do not
// depend on the fonts installed.
constexpr BaseUnits UNITS{7.405, 14};

int expect_px(int units, double base, int per) {
  return static_cast<int>(std::lround(units * base / per));
}

QApplication* application() {
  static int argc = 1;
  static char name[] = "qel_qt_frontend_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    auto* a = new QApplication(argc, argv);
    a->setQuitOnLastWindowClosed(false);
    return a;
  }();
  return app;
}

// Runs the UI thread's events until the condition holds (5 s at most).
bool pump_until(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

DialogWidget* shown_dialog(int template_id) {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* d = dynamic_cast<DialogWidget*>(w);
    if (d && d->isVisible() && d->dialog_template().id == template_id) return d;
  }
  return nullptr;
}

QMessageBox* shown_box() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box && box->isVisible()) return box;
  }
  return nullptr;
}

class QtLayout : public ::testing::Test {
 protected:
  void SetUp() override { application(); }
};

TEST_F(QtLayout, EveryControlStandsWhereItsTemplatePutsIt) {
  for (int n = 0; n < dialog_template_count; ++n) {
    const DialogTemplate& t = dialog_templates[n];
    DialogWidget dialog(t, UNITS, [](DialogWidget*, int) {});
    EXPECT_EQ(dialog.size(), QSize(expect_px(t.width, UNITS.x, 4), expect_px(t.height, UNITS.y, 8)))
        << "template " << t.id;
    for (int i = 0; i < t.control_count; ++i) {
      const ControlTemplate& c = t.controls[i];
      QWidget* w = dialog.control_widget(i);
      ASSERT_NE(w, nullptr) << "template " << t.id << " control " << i;
      QRect r = w->geometry();
      EXPECT_EQ(r.x(), expect_px(c.x, UNITS.x, 4)) << t.id << "/" << c.id;
      EXPECT_EQ(r.y(), expect_px(c.y, UNITS.y, 8)) << t.id << "/" << c.id;
      EXPECT_EQ(r.width(), expect_px(c.width, UNITS.x, 4)) << t.id << "/" << c.id;
      if (c.kind == ControlKind::ComboBox) {
        // The template's height is the dropped list; the box is one line.
        EXPECT_GT(r.height(), 0);
        EXPECT_LE(r.height(), expect_px(c.height, UNITS.y, 8));
      } else {
        EXPECT_EQ(r.height(), expect_px(c.height, UNITS.y, 8)) << t.id << "/" << c.id;
      }
    }
  }
}

TEST_F(QtLayout, BaseUnitsComeFromTheFont) {
  QFont small = QApplication::font();
  small.setPointSize(8);
  QFont large = small;
  large.setPointSize(16);
  BaseUnits a = qtfe::base_units_for(small);
  BaseUnits b = qtfe::base_units_for(large);
  EXPECT_GT(a.x, 3.0);
  EXPECT_GT(a.y, 8.0);
  // Twice the size, about twice the units.
  EXPECT_NEAR(b.x / a.x, 2.0, 0.3);
  EXPECT_NEAR(b.y / a.y, 2.0, 0.3);
}

TEST_F(QtLayout, ControlsAreOfTheirTemplatesKinds) {
  const DialogTemplate* confirm = dialog_template_find(IDD_CONFIRM_TARGET);
  DialogWidget dialog(*confirm, UNITS, [](DialogWidget*, int) {});
  auto* upgrade = qobject_cast<QPushButton*>(dialog.widget_for_id(IDOK));
  auto* cancel = qobject_cast<QPushButton*>(dialog.widget_for_id(IDCANCEL));
  ASSERT_TRUE(upgrade && cancel);
  EXPECT_TRUE(upgrade->isDefault());
  EXPECT_FALSE(cancel->isDefault());
  auto* serial = qobject_cast<QLineEdit*>(dialog.widget_for_id(IDC_SERIAL_NUMBER));
  ASSERT_TRUE(serial);
  EXPECT_TRUE(serial->isReadOnly());
  EXPECT_TRUE(serial->hasFrame());
  auto* text = qobject_cast<QPlainTextEdit*>(dialog.widget_for_id(IDC_CONFIRM_TEXT));
  ASSERT_TRUE(text);
  EXPECT_TRUE(text->isReadOnly());
  EXPECT_EQ(text->frameShape(), QFrame::NoFrame);
  auto* label = qobject_cast<QLabel*>(dialog.control_widget(7));  // "Serial Number"
  ASSERT_TRUE(label);
  EXPECT_EQ(label->text(), "Serial Number");
  EXPECT_TRUE(label->alignment() & Qt::AlignRight);

  DialogWidget password(*dialog_template_find(IDD_PASSWORD), UNITS, [](DialogWidget*, int) {});
  auto* secret = qobject_cast<QLineEdit*>(password.widget_for_id(IDC_PASSWORD));
  ASSERT_TRUE(secret);
  EXPECT_EQ(secret->echoMode(), QLineEdit::Password);
  EXPECT_FALSE(secret->isReadOnly());

  DialogWidget success(*dialog_template_find(IDD_SUCCESS), UNITS, [](DialogWidget*, int) {});
  auto* version = qobject_cast<QLineEdit*>(success.widget_for_id(IDC_NEW_VERSION));
  ASSERT_TRUE(version);
  EXPECT_TRUE(version->alignment() & Qt::AlignHCenter);

  DialogWidget upload(*dialog_template_find(IDD_UPLOAD), UNITS, [](DialogWidget*, int) {});
  EXPECT_TRUE(qobject_cast<QProgressBar*>(upload.widget_for_id(IDC_PROGRESS)));

  for (int id : {IDD_ADDRESS_ADAPTER, IDD_ADDRESS_PHONE}) {
    DialogWidget address(*dialog_template_find(id), UNITS, [](DialogWidget*, int) {});
    auto* icon = qobject_cast<QLabel*>(address.control_widget(7));
    ASSERT_TRUE(icon);
    EXPECT_FALSE(icon->pixmap().isNull()) << "icon of template " << id;
    EXPECT_TRUE(qobject_cast<QComboBox*>(address.widget_for_id(IDC_LOCAL_ADDRESS)));
  }
}

// What is typed stays as typed, out-of-range parts too: the dialog
// procedure, not the field, refuses a wrong address.
TEST_F(QtLayout, AddressEntryKeepsWhatIsTyped) {
  DialogWidget dialog(*dialog_template_find(IDD_ADDRESS_ADAPTER), UNITS, [](DialogWidget*, int) {});
  dialog.show();
  auto* entry = qobject_cast<QLineEdit*>(dialog.widget_for_id(IDC_DEVICE_ADDRESS));
  ASSERT_TRUE(entry);
  entry->setFocus();
  for (const char* typed : {"300.1.1.1", "1.2.3.4.5", "010.001.000.013", "1*2*3*4", "a.b 999"}) {
    entry->clear();
    for (const char* p = typed; *p; ++p) {
      QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(QLatin1Char(*p)));
      QApplication::sendEvent(entry, &key);
    }
    EXPECT_EQ(entry->text().toStdString(), typed);
    EXPECT_EQ(dialog.editable_texts().at(0).second, typed);
  }
}

// A read-only text block shows its whole text: as it is when it fits, else
// in a smaller font or, for a text far too long, with a scroll bar.
TEST_F(QtLayout, ReadOnlyTextBlocksShowTheirWholeText) {
  DialogWidget dialog(*dialog_template_find(IDD_PASSWORD), UNITS, [](DialogWidget*, int) {});
  auto* block = qobject_cast<QPlainTextEdit*>(dialog.widget_for_id(IDC_PASSWORD_EXPLANATION));
  ASSERT_TRUE(block);
  const qreal normal = QApplication::font().pointSizeF();
  dialog.set_item_text(IDC_PASSWORD_EXPLANATION, "Short.\r\nTwo lines.");
  EXPECT_EQ(block->font().pointSizeF(), normal);
  EXPECT_EQ(block->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  std::string long_text;
  for (int i = 0; i < 80; ++i) long_text += "A line of the explanation\r\n";
  dialog.set_item_text(IDC_PASSWORD_EXPLANATION, long_text);
  EXPECT_EQ(block->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
  EXPECT_EQ(block->font().pointSizeF(), normal);  // readable, not shrunk to nothing
  EXPECT_TRUE(block->textInteractionFlags() & Qt::TextSelectableByKeyboard);  // keys scroll it
}

TEST_F(QtLayout, UserActionsBecomeCommands) {
  std::vector<int> commands;
  DialogWidget dialog(*dialog_template_find(IDD_ADDRESS_ADAPTER), UNITS,
                      [&commands](DialogWidget*, int id) { commands.push_back(id); });
  dialog.show();
  auto* entry = qobject_cast<QLineEdit*>(dialog.widget_for_id(IDC_DEVICE_ADDRESS));
  entry->setFocus();
  entry->setText("10.1.0.13");
  // Enter in the address field presses the default button, OK.
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(entry, &enter);
  qobject_cast<QPushButton*>(dialog.widget_for_id(IDCANCEL))->click();
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(entry, &escape);
  dialog.close();  // the close box
  EXPECT_EQ(commands, (std::vector<int>{IDOK, IDCANCEL, IDCANCEL, IDCANCEL}));
  // The window stays until the program ends the dialog.
  EXPECT_TRUE(dialog.isVisible());

  auto texts = dialog.editable_texts();
  ASSERT_EQ(texts.size(), 1u);  // only the address is typed into
  EXPECT_EQ(texts[0], std::make_pair(IDC_DEVICE_ADDRESS, std::string("10.1.0.13")));
  dialog.set_combo(IDC_LOCAL_ADDRESS, {"10.1.0.5", "192.168.1.2"}, 0);
  qobject_cast<QComboBox*>(dialog.widget_for_id(IDC_LOCAL_ADDRESS))->setCurrentIndex(1);
  EXPECT_EQ(dialog.combo_selections(), (std::vector<std::pair<int, int>>{{IDC_LOCAL_ADDRESS, 1}}));
}

// Modal dialogs have the dialog manager's keys: Enter presses the focused
// button (Cancel in the warning). The modeless progress dialogs are pumped
// without them: Esc and Enter do nothing, only the button acts.
TEST_F(QtLayout, EnterAndEscActInModalDialogsOnly) {
  std::vector<int> commands;
  DialogWidget warning(*dialog_template_find(IDD_WARNING), UNITS,
                       [&commands](DialogWidget*, int id) { commands.push_back(id); });
  warning.show();
  warning.focus_control(IDCANCEL);
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(warning.widget_for_id(IDCANCEL), &enter);
  EXPECT_EQ(commands, (std::vector<int>{IDCANCEL}));

  for (int id : {IDD_CONNECTING, IDD_WAITING, IDD_UPLOAD}) {
    commands.clear();
    DialogWidget progress(
        *dialog_template_find(id), UNITS,
        [&commands](DialogWidget*, int control) { commands.push_back(control); }, false);
    progress.show();
    auto* cancel = qobject_cast<QPushButton*>(progress.widget_for_id(IDCANCEL));
    ASSERT_TRUE(cancel);
    progress.focus_control(IDCANCEL);
    for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
      QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
      QApplication::sendEvent(cancel, &press);
      QKeyEvent to_dialog(QEvent::KeyPress, key, Qt::NoModifier);
      QApplication::sendEvent(&progress, &to_dialog);
    }
    EXPECT_TRUE(commands.empty()) << "template " << id;
    cancel->click();
    EXPECT_EQ(commands, (std::vector<int>{IDCANCEL})) << "template " << id;
  }
}

// ---- with the dialog layer and real owner threads ----

std::atomic<int> seen_command{0};
char typed[64];

std::intptr_t address_like_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                std::intptr_t) {
  if (message == WM_INITDIALOG) {
    dialog_set_caption(dialog, "Address");
    dialog_combo_add(dialog, IDC_LOCAL_ADDRESS, "10.1.0.5");
    dialog_combo_add(dialog, IDC_LOCAL_ADDRESS, "192.168.1.2");
    dialog_combo_select(dialog, IDC_LOCAL_ADDRESS, 0);
    dialog_focus_item(dialog, IDC_DEVICE_ADDRESS);
    return FALSE;
  }
  if (message == WM_COMMAND && (wparam & 0xffff) == IDOK) {
    dialog_get_item_text(dialog, IDC_DEVICE_ADDRESS, typed, sizeof typed);
    seen_command = 1 + 10 * dialog_combo_selection(dialog, IDC_LOCAL_ADDRESS);
    dialog_end(dialog, 7);
    return TRUE;
  }
  if (message == WM_COMMAND && (wparam & 0xffff) == IDCANCEL) {
    dialog_end(dialog, 0);
    return TRUE;
  }
  return FALSE;
}

std::intptr_t plain_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                         std::intptr_t) {
  if (message == WM_COMMAND && (wparam & 0xffff) == IDCANCEL) {
    dialog_end(dialog, 0);
    return TRUE;
  }
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

class QtWithLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    application();
    frontend_ = new qtfe::QtFrontend;
    frontend_install(frontend_);
  }
  void TearDown() override {
    frontend_install(nullptr);
    // Deferred deletes of closed windows run before the host goes.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete frontend_;
  }
  qtfe::QtFrontend* frontend_ = nullptr;
};

TEST_F(QtWithLayer, TypedTextAndSelectionReachTheProcedureBeforeTheCommand) {
  std::atomic<int> result{-100};
  std::thread owner(
      [&result] { result = dialog_box(nullptr, IDD_ADDRESS_ADAPTER, address_like_proc); });
  DialogWidget* dialog = nullptr;
  ASSERT_TRUE(
      pump_until([&dialog] { return (dialog = shown_dialog(IDD_ADDRESS_ADAPTER)) != nullptr; }));
  EXPECT_EQ(dialog->windowTitle(), "Address");
  auto* combo = qobject_cast<QComboBox*>(dialog->widget_for_id(IDC_LOCAL_ADDRESS));
  ASSERT_TRUE(pump_until([combo] { return combo->count() == 2; }));
  EXPECT_EQ(combo->currentIndex(), 0);
  qobject_cast<QLineEdit*>(dialog->widget_for_id(IDC_DEVICE_ADDRESS))->setText("10.1.0.13");
  combo->setCurrentIndex(1);
  qobject_cast<QPushButton*>(dialog->widget_for_id(IDOK))->click();
  ASSERT_TRUE(pump_until([&result] { return result.load() != -100; }));
  owner.join();
  EXPECT_EQ(result.load(), 7);
  EXPECT_STREQ(typed, "10.1.0.13");
  EXPECT_EQ(seen_command.load(), 11);  // selection 1 was applied first
  EXPECT_TRUE(pump_until([] { return shown_dialog(IDD_ADDRESS_ADAPTER) == nullptr; }));
}

TEST_F(QtWithLayer, ProgressUpdatesAreMergedAndTheLastOneShows) {
  std::atomic<bool> done{false};
  std::atomic<bool> closing{false};
  DialogHandle handle = nullptr;
  std::thread owner([&] {
    handle = dialog_create(nullptr, IDD_UPLOAD, plain_proc);
    dialog_show(handle);
    dialog_progress_range(handle, IDC_PROGRESS, 0, 20000);
    for (int i = 1; i <= 20000; ++i) {
      dialog_progress_pos(handle, IDC_PROGRESS, i);
      if (i % 100 == 0) {
        char caption[32];
        std::snprintf(caption, sizeof caption, "block %d", i);
        dialog_set_caption(handle, caption);
      }
    }
    done = true;
    while (!closing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    dialog_destroy(handle);
  });
  // The UI thread is busy elsewhere while the owner races ahead.
  while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  DialogWidget* dialog = nullptr;
  ASSERT_TRUE(pump_until([&dialog] { return (dialog = shown_dialog(IDD_UPLOAD)) != nullptr; }));
  auto* bar = qobject_cast<QProgressBar*>(dialog->widget_for_id(IDC_PROGRESS));
  ASSERT_TRUE(pump_until([bar] { return bar->value() == 20000; }));
  EXPECT_EQ(bar->maximum(), 20000);
  EXPECT_EQ(dialog->windowTitle(), "block 20000");
  // Everything since the first change travelled as one update.
  EXPECT_LE(frontend_->delivered_updates(), 2);
  EXPECT_GE(frontend_->merged_updates(), 20000);
  closing = true;
  owner.join();
  EXPECT_TRUE(pump_until([] { return shown_dialog(IDD_UPLOAD) == nullptr; }));
}

TEST_F(QtWithLayer, AMessageBoxHoldsOnlyItsOwnThreadsWindows) {
  std::atomic<bool> box_closed{false};
  std::atomic<bool> release_a{false};
  DialogHandle a_dialog = nullptr;
  // Thread A: a modeless dialog, then a task-modal box.
  std::thread a([&] {
    a_dialog = dialog_create(nullptr, IDD_WAITING, plain_proc);
    dialog_show(a_dialog);
    message_box_task_modal("Upgrade Failed: User Abort", "QEL Firwmare Upgrade Error");
    box_closed = true;
    while (!release_a) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    dialog_destroy(a_dialog);
  });
  // Thread B: a modal dialog of its own, open at the same time.
  std::atomic<int> b_result{-100};
  std::thread b([&b_result] { b_result = dialog_box(nullptr, IDD_WARNING, plain_proc); });

  QMessageBox* box = nullptr;
  DialogWidget *waiting = nullptr, *warning = nullptr;
  ASSERT_TRUE(pump_until([&] {
    box = shown_box();
    waiting = shown_dialog(IDD_WAITING);
    warning = shown_dialog(IDD_WARNING);
    return box && waiting && warning;
  }));
  EXPECT_EQ(box->text(), "Upgrade Failed: User Abort");
  EXPECT_EQ(box->windowTitle(), "QEL Firwmare Upgrade Error");
  ASSERT_EQ(box->buttons().size(), 1);
  EXPECT_EQ(box->buttons().front()->text(), "OK");
  EXPECT_TRUE(box->buttons().front()->icon().isNull());  // no theme picture on OK
  EXPECT_FALSE(box->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_FALSE(box->isModal());
  EXPECT_FALSE(waiting->isEnabled());  // A waits on its box
  EXPECT_TRUE(warning->isEnabled());   // B is not held
  EXPECT_FALSE(box_closed.load());

  // B goes on while A waits: its Cancel ends its dialog.
  qobject_cast<QPushButton*>(warning->widget_for_id(IDCANCEL))->click();
  ASSERT_TRUE(pump_until([&b_result] { return b_result.load() != -100; }));
  b.join();
  EXPECT_EQ(b_result.load(), 0);
  EXPECT_FALSE(box_closed.load());

  box->buttons().front()->click();
  ASSERT_TRUE(pump_until([&box_closed] { return box_closed.load(); }));
  EXPECT_TRUE(pump_until([&waiting] { return waiting->isEnabled(); }));
  release_a = true;
  a.join();
  EXPECT_TRUE(pump_until([] { return shown_dialog(IDD_WAITING) == nullptr; }));
}

TEST_F(QtWithLayer, EscapeAndTheCloseBoxEndAModalDialogWithCancel) {
  for (bool close_box : {false, true}) {
    std::atomic<int> result{-100};
    std::thread owner([&result] { result = dialog_box(nullptr, IDD_SUCCESS, plain_proc); });
    DialogWidget* dialog = nullptr;
    ASSERT_TRUE(pump_until([&dialog] { return (dialog = shown_dialog(IDD_SUCCESS)) != nullptr; }));
    if (close_box) {
      dialog->close();
    } else {
      QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QApplication::sendEvent(dialog, &escape);
    }
    ASSERT_TRUE(pump_until([&result] { return result.load() != -100; }));
    owner.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_TRUE(pump_until([] { return shown_dialog(IDD_SUCCESS) == nullptr; }));
  }
}

TEST_F(QtWithLayer, OuterSizeAndScreenAnswerOtherThreads) {
  PixelSize size{0, 0};
  int width = 0;
  std::thread asker([&] {
    size = frontend_->template_pixel_size(*dialog_template_find(IDD_CONFIRM_TARGET));
    width = frontend_->screen_width();
  });
  ASSERT_TRUE(pump_until([&] { return width != 0; }));
  asker.join();
  BaseUnits units = qtfe::base_units_for(QApplication::font());
  EXPECT_EQ(size.width, expect_px(172, units.x, 4));  // no frame offscreen
  EXPECT_EQ(size.height, expect_px(166, units.y, 8));
  EXPECT_EQ(width, QGuiApplication::primaryScreen()->geometry().width());
}

}  // namespace

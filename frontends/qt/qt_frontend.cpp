#include "frontends/qt/qt_frontend.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTextStream>
#include <QTimer>
#include <future>

#include "frontends/common/dialog.h"
#include "resources/ids.h"

namespace qtfe {

namespace {

// A box as the program asks for it: its text, OK only, no icon, not even
// the picture a desktop theme may put on a standard OK button. Esc and the
// close box press OK.
QMessageBox* plain_box(const std::string& text, const std::string& title) {
  auto* box = new QMessageBox(QMessageBox::NoIcon, QString::fromLatin1(title.c_str()),
                              display_text(text), QMessageBox::NoButton);
  QPushButton* ok = box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
  ok->setIcon(QIcon());
  box->setDefaultButton(ok);
  box->setEscapeButton(ok);
  box->setWindowFlags(fixed_dialog_flags());
  return box;
}

}  // namespace

// Everything here runs on the UI thread.
class UiHost : public QObject {
 public:
  UiHost() {
    units_ = base_units_for(QApplication::font());
    geometry_log_ = qEnvironmentVariable("QEL_QT_GEOMETRY_LOG");
    // Every window, message boxes included, shows the program's icon.
    QIcon icon;
    for (int size : {16, 32, 48, 64}) icon.addPixmap(icon_pixmap(IDI_PROGRAM, size));
    QApplication::setWindowIcon(icon);
  }

  BaseUnits units() const { return units_; }
  int frame_width() const { return frame_width_.load(); }
  int frame_height() const { return frame_height_.load(); }

  void open(const DialogSnapshot& s, std::thread::id owner) {
    DialogHandle handle = s.dialog;
    auto* widget = new DialogWidget(
        *s.dialog_template, units_,
        [this, handle](DialogWidget* w, int id) { command(handle, w, id); }, s.modal);
    widget->apply(s);
    windows_[handle] = {widget, owner, s.modal, ++order_, s.focus};
    widget->move(s.x, s.y);
    widget->show();
    widget->raise();
    widget->activateWindow();
    if (s.focus != NO_FOCUS) widget->focus_control(s.focus);
    refresh(owner);
    learn_frame(widget);
    log_geometry(widget, s.template_id);
  }

  DialogWidget* widget(DialogHandle handle) {
    auto it = windows_.find(handle);
    return it == windows_.end() ? nullptr : it->second.widget.data();
  }

  void focus(DialogHandle handle, int control) {
    auto it = windows_.find(handle);
    if (it == windows_.end()) return;
    it->second.focus = control;
    if (DialogWidget* w = it->second.widget.data()) w->focus_control(control);
  }

  void move(DialogHandle handle, int x, int y) {
    if (DialogWidget* w = widget(handle)) {
      w->move(x, y);
      w->raise();
    }
  }

  void close(DialogHandle handle) {
    auto it = windows_.find(handle);
    if (it == windows_.end()) return;
    std::thread::id owner = it->second.owner;
    if (DialogWidget* w = it->second.widget.data()) {
      w->hide();
      w->deleteLater();
    }
    windows_.erase(it);
    refresh(owner);
  }

  void open_box(DialogHandle owner_dialog, std::thread::id owner, const std::string& text,
                const std::string& title, std::function<void()> done) {
    QMessageBox* box = plain_box(text, title);
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("message-box"));
    int number = ++order_;
    boxes_[number] = {box, owner, number};
    connect(box, &QMessageBox::finished, this, [this, number, owner, owner_dialog, done] {
      boxes_.erase(number);
      refresh(owner);
      give_back_focus(owner_dialog);
      done();
    });
    box->show();
    // Over the dialog that owns it, else in the middle of the screen.
    QRect area = QGuiApplication::primaryScreen()->geometry();
    if (DialogWidget* w = widget(owner_dialog)) area = w->frameGeometry();
    box->adjustSize();
    box->move(area.center() - QPoint(box->width() / 2, box->height() / 2));
    box->raise();
    box->activateWindow();
    refresh(owner);
  }

 private:
  struct Window {
    QPointer<DialogWidget> widget;
    std::thread::id owner;
    bool modal;
    long long order;
    int focus;  // the control the program last gave the focus
  };

  // When a box closes, its dialog is the active window again, with the focus
  // on the control the program last chose. The address dialog's procedure
  // chooses the field again after its box, which the dialog layer, seeing no
  // change, does not pass on; the user may have clicked OK in between.
  void give_back_focus(DialogHandle handle) {
    auto it = windows_.find(handle);
    if (it == windows_.end() || !it->second.widget) return;
    DialogWidget* w = it->second.widget.data();
    w->raise();
    w->activateWindow();
    if (it->second.focus != NO_FOCUS) w->focus_control(it->second.focus);
  }
  struct Box {
    QPointer<QMessageBox> box;
    std::thread::id owner;
    long long order;
  };

  // The newest modal window of a thread (dialog or message box) is the one
  // it waits on: only that one takes input among the thread's windows.
  void refresh(std::thread::id owner) {
    QWidget* holder = nullptr;
    long long newest = -1;
    for (auto& [handle, w] : windows_)
      if (w.owner == owner && w.modal && w.order > newest) newest = w.order, holder = w.widget;
    for (auto& [number, b] : boxes_)
      if (b.owner == owner && b.order > newest) newest = b.order, holder = b.box;
    for (auto& [handle, w] : windows_)
      if (w.owner == owner && w.widget) w.widget->setEnabled(!holder || holder == w.widget);
    for (auto& [number, b] : boxes_)
      if (b.owner == owner && b.box) b.box->setEnabled(!holder || holder == b.box);
  }

  void command(DialogHandle handle, DialogWidget* w, int id) {
    if (!w->isEnabled()) return;  // a modal window of its thread is in front
    frontend::submit_dialog(handle, {w->editable_texts(), w->combo_selections()}, id);
  }

  // The window manager's frame, once it has drawn one, counts in the outer
  // size of later dialogs so that they centre exactly.
  void learn_frame(DialogWidget* w) {
    QPointer<DialogWidget> watched(w);
    QTimer::singleShot(300, this, [this, watched] {
      if (!watched || !watched->isVisible()) return;
      QSize outer = watched->frameGeometry().size();
      QSize inner = watched->geometry().size();
      frame_width_.store(std::max(0, outer.width() - inner.width()));
      frame_height_.store(std::max(0, outer.height() - inner.height()));
    });
  }

  // For tests: where every control of a shown dialog really stands.
  void log_geometry(DialogWidget* w, int template_id) {
    if (geometry_log_.isEmpty()) return;
    QPointer<DialogWidget> watched(w);
    QTimer::singleShot(200, this, [this, watched, template_id] {
      if (!watched) return;
      QFile file(geometry_log_);
      if (!file.open(QIODevice::Append | QIODevice::Text)) return;
      QTextStream out(&file);
      QRect frame = watched->frameGeometry();
      QRect client = watched->geometry();
      QRect screen = QGuiApplication::primaryScreen()->geometry();
      out << "dialog " << template_id << " base " << units_.x << ' ' << units_.y << " screen "
          << screen.width() << ' ' << screen.height() << " frame " << frame.x() << ' ' << frame.y()
          << ' ' << frame.width() << ' ' << frame.height() << " client " << client.x() << ' '
          << client.y() << ' ' << client.width() << ' ' << client.height() << '\n';
      const DialogTemplate& t = watched->dialog_template();
      for (int i = 0; i < t.control_count; ++i) {
        QWidget* c = watched->control_widget(i);
        if (!c) continue;
        QRect r = c->geometry();
        out << "control " << template_id << ' ' << i << ' ' << t.controls[i].id << ' ' << r.x()
            << ' ' << r.y() << ' ' << r.width() << ' ' << r.height() << '\n';
      }
    });
  }

  BaseUnits units_;
  QString geometry_log_;
  std::atomic<int> frame_width_{0};
  std::atomic<int> frame_height_{0};
  std::map<DialogHandle, Window> windows_;
  std::map<int, Box> boxes_;
  long long order_ = 0;
};

QtFrontend::QtFrontend() : host_(new UiHost), ui_thread_(std::this_thread::get_id()) {}

QtFrontend::~QtFrontend() { delete host_; }

void QtFrontend::post(std::function<void()> work) {
  QMetaObject::invokeMethod(
      host_, [work = std::move(work)] { work(); }, Qt::QueuedConnection);
}

template <typename T>
T QtFrontend::ask(std::function<T()> work) {
  if (std::this_thread::get_id() == ui_thread_) return work();
  auto answer = std::make_shared<std::promise<T>>();
  std::future<T> result = answer->get_future();
  post([answer, work] { answer->set_value(work()); });
  return result.get();
}

void QtFrontend::dialog_opened(const DialogSnapshot& snapshot) {
  std::thread::id owner = std::this_thread::get_id();
  post([this, snapshot, owner] { host_->open(snapshot, owner); });
}

void QtFrontend::queue_delivery(DialogHandle dialog) {
  post([this, dialog] { deliver(dialog); });
}

void QtFrontend::deliver(DialogHandle dialog) {
  std::optional<frontend::UpdateMerger::Update> update = updates_.take(dialog);
  if (!update) return;  // closed meanwhile
  DialogWidget* w = host_->widget(dialog);
  if (!w) return;
  if (update->caption) w->setWindowTitle(QString::fromLatin1(update->caption->c_str()));
  for (const auto& [control, bar] : update->bars) {
    auto* widget = qobject_cast<QProgressBar*>(w->widget_for_id(control));
    if (!widget) continue;
    int low = bar.range ? bar.range->first : widget->minimum();
    int high = bar.range ? bar.range->second : widget->maximum();
    int position = bar.position ? *bar.position : widget->value();
    w->set_progress(control, low, high, position);
  }
}

void QtFrontend::caption_changed(DialogHandle dialog, const std::string& text) {
  if (updates_.caption(dialog, text)) queue_delivery(dialog);
}

void QtFrontend::item_text_changed(DialogHandle dialog, int control, const std::string& text) {
  post([this, dialog, control, text] {
    if (DialogWidget* w = host_->widget(dialog)) w->set_item_text(control, text);
  });
}

void QtFrontend::progress_range_changed(DialogHandle dialog, int control, int low, int high) {
  if (updates_.range(dialog, control, low, high)) queue_delivery(dialog);
}

void QtFrontend::progress_position_changed(DialogHandle dialog, int control, int position) {
  if (updates_.position(dialog, control, position)) queue_delivery(dialog);
}

void QtFrontend::combo_changed(DialogHandle dialog, int control,
                               const std::vector<std::string>& items, int selection) {
  post([this, dialog, control, items, selection] {
    if (DialogWidget* w = host_->widget(dialog)) w->set_combo(control, items, selection);
  });
}

void QtFrontend::focus_changed(DialogHandle dialog, int control) {
  post([this, dialog, control] { host_->focus(dialog, control); });
}

void QtFrontend::dialog_moved(DialogHandle dialog, int x, int y) {
  post([this, dialog, x, y] { host_->move(dialog, x, y); });
}

void QtFrontend::dialog_closed(DialogHandle dialog, int, bool) {
  updates_.forget(dialog);
  post([this, dialog] { host_->close(dialog); });
}

void QtFrontend::message_box(DialogHandle owner, const std::string& text,
                             const std::string& title) {
  std::thread::id asker = std::this_thread::get_id();
  if (asker == ui_thread_) {
    // Nothing of the wizard runs here; answer anyway rather than deadlock.
    QMessageBox* box = plain_box(text, title);
    box->exec();
    delete box;
    return;
  }
  auto closed = std::make_shared<std::promise<void>>();
  std::future<void> waited = closed->get_future();
  post([this, owner, asker, text, title, closed] {
    host_->open_box(owner, asker, text, title, [closed] { closed->set_value(); });
  });
  waited.get();
}

int QtFrontend::screen_width() {
  return ask<int>([] { return QGuiApplication::primaryScreen()->geometry().width(); });
}

int QtFrontend::screen_height() {
  return ask<int>([] { return QGuiApplication::primaryScreen()->geometry().height(); });
}

PixelSize QtFrontend::template_pixel_size(const DialogTemplate& dialog_template) {
  // The font's units never change and the frame is kept in atomics: no
  // need to wait for the UI thread, which may be busy drawing.
  QSize client = client_size(dialog_template, host_->units());
  return PixelSize{client.width() + host_->frame_width(), client.height() + host_->frame_height()};
}

}  // namespace qtfe

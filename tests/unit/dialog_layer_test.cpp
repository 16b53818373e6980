// The portable dialog layer (modal and modeless dialogs, per-thread queues, the
// front-end edge) and the scripted front-end on top of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frontends/scripted/json.h"
#include "frontends/scripted/script.h"
#include "frontends/scripted/scripted_frontend.h"
#include "platform/dialog.h"
#include "platform/portable/frontend.h"
#include "resources/ids.h"
#include "ui/ui.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

// ---------------------------------------------------------------------------
// A front-end that writes down what it is told.

class RecordingFrontend : public DialogFrontend {
 public:
  std::function<void(const DialogSnapshot&)> on_open;  // runs on the owner thread
  int screen_w = 1000, screen_h = 700;

  void dialog_opened(const DialogSnapshot& s) override {
    {
      std::lock_guard lock(m_);
      opens_.push_back(s);
      log_.push_back("open " + std::to_string(s.template_id));
    }
    cv_.notify_all();
    if (on_open) on_open(s);
  }
  void caption_changed(DialogHandle, const std::string& text) override { add("caption " + text); }
  void item_text_changed(DialogHandle, int control, const std::string& text) override {
    add("text " + std::to_string(control) + " " + text);
  }
  void progress_range_changed(DialogHandle, int control, int low, int high) override {
    add("range " + std::to_string(control) + " " + std::to_string(low) + " " +
        std::to_string(high));
  }
  void progress_position_changed(DialogHandle, int control, int position) override {
    add("pos " + std::to_string(control) + " " + std::to_string(position));
  }
  void combo_changed(DialogHandle, int control, const std::vector<std::string>& items,
                     int selection) override {
    std::string text = "combo " + std::to_string(control);
    for (const std::string& item : items) text += " " + item;
    add(text + " sel " + std::to_string(selection));
  }
  void focus_changed(DialogHandle, int control) override {
    add("focus " + std::to_string(control));
  }
  void dialog_moved(DialogHandle, int x, int y) override {
    add("move " + std::to_string(x) + " " + std::to_string(y));
  }
  void dialog_closed(DialogHandle, int result, bool destroyed) override {
    add(destroyed ? "destroyed" : "closed " + std::to_string(result));
  }
  void message_box(DialogHandle owner, const std::string& text, const std::string& title) override {
    std::lock_guard lock(m_);
    box_owners_.push_back(owner);
    log_.push_back("box " + title + ": " + text);
  }
  int screen_width() override { return screen_w; }
  int screen_height() override { return screen_h; }
  // Two pixels per dialog unit keeps the arithmetic of the tests plain.
  PixelSize template_pixel_size(const DialogTemplate& t) override {
    return {t.width * 2, t.height * 2};
  }

  std::vector<std::string> log() {
    std::lock_guard lock(m_);
    return log_;
  }
  void clear_log() {
    std::lock_guard lock(m_);
    log_.clear();
  }
  std::vector<DialogHandle> box_owners() {
    std::lock_guard lock(m_);
    return box_owners_;
  }
  // Waits for the n-th dialog (1-based) to open and returns its snapshot.
  DialogSnapshot wait_open(std::size_t n) {
    std::unique_lock lock(m_);
    bool ok = cv_.wait_for(lock, 5s, [&] { return opens_.size() >= n; });
    EXPECT_TRUE(ok) << "dialog " << n << " never opened";
    return ok ? opens_[n - 1] : DialogSnapshot{};
  }

 private:
  void add(std::string entry) {
    std::lock_guard lock(m_);
    log_.push_back(std::move(entry));
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> log_;
  std::vector<DialogSnapshot> opens_;
  std::vector<DialogHandle> box_owners_;
};

// A line of the recorder's log about a template or a control: event, number, the rest.
std::string logged(const char* event, int id, const std::string& rest = "") {
  return std::string(event) + " " + std::to_string(id) + rest;
}

// ---------------------------------------------------------------------------
// Dialog procedures that write down their calls.

struct Call {
  DialogHandle dialog;
  unsigned message;
  int id;
  std::thread::id thread;
  std::string user_name, password;
  int local_address;
};

std::mutex calls_lock;
std::vector<Call> calls;
std::atomic<std::intptr_t> init_answer{TRUE};
std::atomic<int> init_focus{0};
std::atomic<const char*> init_caption{nullptr};

constexpr int NOOP_COMMAND = 99;

void note(DialogHandle d, unsigned message, int id) {
  Call call{d, message, id, std::this_thread::get_id(), {}, {}, -1};
  if (message == WM_COMMAND) {
    char text[64];
    dialog_get_item_text(d, IDC_USER_NAME, text, sizeof text);
    call.user_name = text;
    dialog_get_item_text(d, IDC_PASSWORD, text, sizeof text);
    call.password = text;
    call.local_address = dialog_combo_selection(d, IDC_LOCAL_ADDRESS);
  }
  std::lock_guard lock(calls_lock);
  calls.push_back(call);
}

std::vector<Call> calls_of(DialogHandle d, unsigned message) {
  std::lock_guard lock(calls_lock);
  std::vector<Call> out;
  for (const Call& c : calls)
    if (c.dialog == d && c.message == message) out.push_back(c);
  return out;
}

std::vector<int> command_ids(DialogHandle d) {
  std::vector<int> ids;
  for (const Call& c : calls_of(d, WM_COMMAND)) ids.push_back(c.id);
  return ids;
}

std::intptr_t on_init(DialogHandle d) {
  note(d, WM_INITDIALOG, 0);
  if (const char* caption = init_caption.load()) dialog_set_caption(d, caption);
  if (int focus = init_focus.load()) dialog_focus_item(d, focus);
  return init_answer.load();
}

// Modal: a command ends the dialog with its id (Cancel with 0), except
// NOOP_COMMAND.
std::intptr_t ending_proc(DialogHandle d, unsigned message, std::uintptr_t wparam, std::intptr_t) {
  if (message == WM_INITDIALOG) return on_init(d);
  if (message != WM_COMMAND) return FALSE;
  int id = static_cast<int>(wparam & 0xffff);
  note(d, message, id);
  if (id != NOOP_COMMAND) dialog_end(d, id == IDCANCEL ? 0 : id);
  return TRUE;
}

// Modeless: commands are only written down.
std::intptr_t passive_proc(DialogHandle d, unsigned message, std::uintptr_t wparam, std::intptr_t) {
  if (message == WM_INITDIALOG) return on_init(d);
  if (message == WM_COMMAND) note(d, message, static_cast<int>(wparam & 0xffff));
  return FALSE;
}

class DialogLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard lock(calls_lock);
      calls.clear();
    }
    init_answer = TRUE;
    init_focus = 0;
    init_caption = nullptr;
    frontend_install(&frontend);
  }
  void TearDown() override { frontend_install(nullptr); }

  DialogHandle shown(int template_id) {
    DialogHandle d = dialog_create(nullptr, template_id, passive_proc);
    dialog_show(d);
    return d;
  }

  RecordingFrontend frontend;
};

// ---------------------------------------------------------------------------
// Modal dialogs

TEST_F(DialogLayer, ModalDialogReturnsWhatTheAnsweringCommandEndsItWith) {
  for (auto [answer, expected] : {std::pair{IDOK, 1}, std::pair{IDCANCEL, 0}, std::pair{42, 42}}) {
    int command = answer;  // a structured binding cannot be captured before C++20 in clang 14
    frontend.on_open = [command](const DialogSnapshot& s) {
      dialog_post_command(s.dialog, command);
    };
    EXPECT_EQ(dialog_box(nullptr, IDD_WARNING, ending_proc), expected);
  }
  EXPECT_EQ(frontend.log(), (std::vector<std::string>{logged("open", IDD_WARNING), "closed 1",
                                                      logged("open", IDD_WARNING), "closed 0",
                                                      logged("open", IDD_WARNING), "closed 42"}));
}

TEST_F(DialogLayer, ModalDialogOpensAfterInitAndRunsItsProcedureOnTheCallingThread) {
  init_caption = "Set while initialising";
  DialogHandle seen = nullptr;
  frontend.on_open = [&seen](const DialogSnapshot& s) {
    seen = s.dialog;
    // Only WM_INITDIALOG has run when the dialog appears.
    EXPECT_EQ(calls_of(s.dialog, WM_INITDIALOG).size(), 1u);
    EXPECT_TRUE(calls_of(s.dialog, WM_COMMAND).empty());
    dialog_post_command(s.dialog, NOOP_COMMAND);
    dialog_post_command(s.dialog, IDOK);
  };
  EXPECT_EQ(dialog_box(nullptr, IDD_SUCCESS, ending_proc), 1);
  DialogSnapshot s = frontend.wait_open(1);
  EXPECT_EQ(s.caption, "Set while initialising");
  EXPECT_TRUE(s.modal);
  EXPECT_EQ(command_ids(seen), (std::vector<int>{NOOP_COMMAND, IDOK}));
  for (const Call& c : calls_of(seen, WM_COMMAND)) EXPECT_EQ(c.thread, std::this_thread::get_id());
  // The caption set during WM_INITDIALOG came with the snapshot, not as a change.
  EXPECT_EQ(frontend.log(), (std::vector<std::string>{logged("open", IDD_SUCCESS), "closed 1"}));
}

TEST_F(DialogLayer, WithoutFrontEndModalDialogsFailAndBoxesGoToStderr) {
  frontend_install(nullptr);
  EXPECT_EQ(dialog_box(nullptr, IDD_WARNING, ending_proc), -1);
  {
    std::lock_guard lock(calls_lock);
    EXPECT_TRUE(calls.empty()) << "the procedure must not run";
  }
  testing::internal::CaptureStderr();
  message_box_task_modal("Upgrade Failed: User Abort", "QEL Firwmare Upgrade Error");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "QEL Firwmare Upgrade Error: Upgrade Failed: User Abort\n");
  // Modeless dialogs still work, unseen.
  DialogHandle d = dialog_create(nullptr, IDD_CONNECTING, passive_proc);
  ASSERT_NE(d, nullptr);
  dialog_show(d);
  dialog_post_command(d, IDCANCEL);
  EXPECT_TRUE(dialog_pump_one(d));
  EXPECT_EQ(command_ids(d), (std::vector<int>{IDCANCEL}));
  dialog_destroy(d);
  EXPECT_EQ(screen_width(), 1024);
  EXPECT_EQ(screen_height(), 768);
}

TEST_F(DialogLayer, UnknownTemplateCannotBeCreated) {
  EXPECT_EQ(dialog_box(nullptr, 4242, ending_proc), -1);
  EXPECT_EQ(dialog_create(nullptr, 4242, passive_proc), nullptr);
  EXPECT_TRUE(frontend.log().empty());
}

// ---------------------------------------------------------------------------
// The focus rule

TEST_F(DialogLayer, NonzeroInitAnswerGivesFocusToTheFirstControlThatTakesIt) {
  struct Case {
    int template_id;
    int focus_set;
    std::intptr_t answer;
    int expected;
  };
  const Case cases[] = {
      // the platform's choice wins over the procedure's
      {IDD_WARNING, IDCANCEL, TRUE, IDOK},
      {IDD_WARNING, IDCANCEL, FALSE, IDCANCEL},  // warning: Cancel, as the procedure set it
      {IDD_WAITING, 0, TRUE, IDCANCEL},          // progress bar and static text skipped
      {IDD_PASSWORD, IDC_PASSWORD, FALSE, IDC_PASSWORD},
      // address field, last in the tab order
      {IDD_ADDRESS_ADAPTER, IDC_DEVICE_ADDRESS, FALSE, IDC_DEVICE_ADDRESS},
      {IDD_WARNING, 0, FALSE, NO_FOCUS},
  };
  std::size_t opened = 0;
  for (const Case& c : cases) {
    init_focus = c.focus_set;
    init_answer = c.answer;
    DialogHandle d = shown(c.template_id);
    DialogSnapshot s = frontend.wait_open(++opened);
    EXPECT_EQ(s.focus, c.expected) << "template " << c.template_id << " answer " << c.answer;
    dialog_destroy(d);
  }
  // And the same rule for a modal dialog.
  init_focus = 2;
  init_answer = TRUE;
  frontend.on_open = [](const DialogSnapshot& s) { dialog_post_command(s.dialog, IDOK); };
  dialog_box(nullptr, IDD_WARNING, ending_proc);
  EXPECT_EQ(frontend.wait_open(++opened).focus, 1);
}

TEST_F(DialogLayer, FocusMovesAreReportedOnce) {
  init_answer = TRUE;
  DialogHandle d = shown(IDD_PASSWORD);
  frontend.clear_log();
  dialog_focus_item(d, IDC_PASSWORD);
  dialog_focus_item(d, IDC_PASSWORD);
  dialog_focus_item(d, 4242);  // no such control: no change
  dialog_focus_item(d, 1);
  EXPECT_EQ(frontend.log(),
            (std::vector<std::string>{logged("focus", IDC_PASSWORD), logged("focus", IDOK)}));
  dialog_destroy(d);
}

// ---------------------------------------------------------------------------
// Queues and ownership

TEST_F(DialogLayer, PostedMessagesWaitUntilTheOwnerPumpsOneAtATime) {
  DialogHandle d = shown(IDD_WAITING);
  std::thread([d] {
    EXPECT_TRUE(dialog_post_command(d, 5));
    EXPECT_TRUE(dialog_post_command(d, 6));
    // Pumping from a thread that does not own the dialog finds nothing.
    EXPECT_FALSE(dialog_pump_one(d));
  }).join();
  EXPECT_TRUE(command_ids(d).empty());

  EXPECT_TRUE(dialog_pump_one(d));
  EXPECT_EQ(command_ids(d), (std::vector<int>{5}));
  EXPECT_TRUE(dialog_pump_one(d));
  EXPECT_EQ(command_ids(d), (std::vector<int>{5, 6}));
  EXPECT_FALSE(dialog_pump_one(d));
  for (const Call& c : calls_of(d, WM_COMMAND)) EXPECT_EQ(c.thread, std::this_thread::get_id());
  dialog_destroy(d);
}

TEST_F(DialogLayer, PumpingADialogLeavesTheOtherDialogsMessagesQueued) {
  DialogHandle a = shown(IDD_WAITING);
  DialogHandle b = shown(IDD_UPLOAD);
  dialog_post_command(b, 7);
  dialog_post_command(a, 8);
  dialog_post_command(a, 9);
  dialog_pump_all(a);
  EXPECT_EQ(command_ids(a), (std::vector<int>{8, 9}));
  EXPECT_TRUE(command_ids(b).empty());
  EXPECT_TRUE(dialog_pump_one(b));
  EXPECT_EQ(command_ids(b), (std::vector<int>{7}));
  dialog_destroy(a);
  dialog_destroy(b);
}

TEST_F(DialogLayer, ModalLoopAlsoServesTheThreadsModelessDialogs) {
  DialogHandle modeless = shown(IDD_WAITING);
  frontend.on_open = [modeless](const DialogSnapshot& s) {
    if (s.template_id != IDD_SUCCESS) return;
    dialog_post_command(modeless, 3);
    dialog_post_command(s.dialog, IDOK);
  };
  EXPECT_EQ(dialog_box(nullptr, IDD_SUCCESS, ending_proc), 1);
  EXPECT_EQ(command_ids(modeless), (std::vector<int>{3}));
  dialog_destroy(modeless);
}

TEST_F(DialogLayer, TwoThreadsServeTheirOwnDialogsAtTheSameTime) {
  // A modal dialog on one thread and a pumped modeless one on another, as
  // the main thread's query and the listener's waiting dialog are.
  std::atomic<bool> modeless_done{false};
  std::promise<DialogHandle> modeless_handle;
  std::thread listener([&] {
    DialogHandle d = dialog_create(nullptr, IDD_WAITING, passive_proc);
    dialog_show(d);
    modeless_handle.set_value(d);
    auto until = std::chrono::steady_clock::now() + 5s;
    while (command_ids(d).size() < 2 && std::chrono::steady_clock::now() < until) {
      dialog_pump_all(d);
      std::this_thread::sleep_for(1ms);
    }
    dialog_destroy(d);
    modeless_done = true;
  });
  std::packaged_task<int()> modal_task(
      [] { return dialog_box(nullptr, IDD_WARNING, ending_proc); });
  std::future<int> modal_result = modal_task.get_future();
  std::thread main_like(std::move(modal_task));

  DialogHandle waiting = modeless_handle.get_future().get();
  DialogHandle modal = nullptr;
  for (std::size_t n = 1; n <= 2 && !modal; ++n) {
    DialogSnapshot s = frontend.wait_open(n);
    if (s.template_id == IDD_WARNING) modal = s.dialog;
  }
  ASSERT_NE(modal, nullptr);

  dialog_post_command(waiting, 11);
  dialog_post_command(modal, NOOP_COMMAND);
  dialog_post_command(waiting, 12);
  EXPECT_EQ(modal_result.wait_for(100ms), std::future_status::timeout) << "ended by a no-op";
  dialog_post_command(modal, IDOK);
  EXPECT_EQ(modal_result.get(), 1);
  main_like.join();
  listener.join();
  EXPECT_TRUE(modeless_done);

  EXPECT_EQ(command_ids(waiting), (std::vector<int>{11, 12}));
  EXPECT_EQ(command_ids(modal), (std::vector<int>{NOOP_COMMAND, IDOK}));
  std::thread::id listener_id = calls_of(waiting, WM_INITDIALOG).at(0).thread;
  std::thread::id main_id = calls_of(modal, WM_INITDIALOG).at(0).thread;
  EXPECT_NE(listener_id, main_id);
  for (const Call& c : calls_of(waiting, WM_COMMAND)) EXPECT_EQ(c.thread, listener_id);
  for (const Call& c : calls_of(modal, WM_COMMAND)) EXPECT_EQ(c.thread, main_id);
}

TEST_F(DialogLayer, ClosedDialogsDropTheirMessages) {
  DialogHandle d = shown(IDD_CONNECTING);
  dialog_post_command(d, 5);
  dialog_destroy(d);
  EXPECT_FALSE(dialog_pump_one(d));
  EXPECT_FALSE(dialog_post_command(d, 6));
  std::thread([d] {
    // A late post from another thread finds valid memory and is refused.
    EXPECT_FALSE(dialog_post_command(d, 7));
    EXPECT_FALSE(dialog_post_item_text(d, IDC_PROGRESS, "x"));
  }).join();
  EXPECT_FALSE(dialog_pump_one(d));
  EXPECT_TRUE(command_ids(d).empty());

  // Nothing more is reported about it.
  dialog_destroy(d);
  dialog_set_caption(d, "gone");
  dialog_progress_pos(d, IDC_PROGRESS, 50);
  WindowRect rect;
  EXPECT_FALSE(window_get_rect(d, &rect));
  EXPECT_EQ(frontend.log(),
            (std::vector<std::string>{logged("open", IDD_CONNECTING), "destroyed"}));

  // A modal dialog drops what was queued behind the command that ended it.
  DialogHandle modal = nullptr;
  frontend.on_open = [&modal](const DialogSnapshot& s) {
    modal = s.dialog;
    dialog_post_command(s.dialog, IDOK);
    dialog_post_command(s.dialog, 5);
  };
  EXPECT_EQ(dialog_box(nullptr, IDD_WARNING, ending_proc), 1);
  EXPECT_EQ(command_ids(modal), (std::vector<int>{IDOK}));
  EXPECT_FALSE(dialog_post_command(modal, IDOK));
}

TEST_F(DialogLayer, DestroyingWhileInitialisingFailsTheCreation) {
  auto self_destroying = [](DialogHandle d, unsigned message, std::uintptr_t,
                            std::intptr_t) -> std::intptr_t {
    if (message == WM_INITDIALOG) dialog_destroy(d);
    return TRUE;
  };
  EXPECT_EQ(dialog_create(nullptr, IDD_CONNECTING, self_destroying), nullptr);
  auto self_ending = [](DialogHandle d, unsigned message, std::uintptr_t,
                        std::intptr_t) -> std::intptr_t {
    if (message == WM_INITDIALOG) dialog_end(d, 77);
    return TRUE;
  };
  EXPECT_EQ(dialog_box(nullptr, IDD_WARNING, self_ending), 77);
  EXPECT_TRUE(frontend.log().empty()) << "neither dialog was ever shown";
}

// ---------------------------------------------------------------------------
// User input

TEST_F(DialogLayer, TypedTextAndChosenItemsAreInPlaceWhenTheCommandRuns) {
  frontend.on_open = [](const DialogSnapshot& s) {
    dialog_post_item_text(s.dialog, IDC_USER_NAME, "root");
    dialog_post_item_text(s.dialog, IDC_PASSWORD, "pa\"ss\r\nword");
    dialog_post_command(s.dialog, IDOK);
  };
  EXPECT_EQ(dialog_box(nullptr, IDD_PASSWORD, ending_proc), 1);
  DialogHandle d = frontend.wait_open(1).dialog;
  std::vector<Call> commands = calls_of(d, WM_COMMAND);
  ASSERT_EQ(commands.size(), 1u) << "typing must not call the procedure";
  EXPECT_EQ(commands[0].user_name, "root");
  EXPECT_EQ(commands[0].password, "pa\"ss\r\nword");
  // Once closed, the dialog keeps no copy of the typed password.
  char left[128] = "unread";
  dialog_get_item_text(d, IDC_PASSWORD, left, sizeof left);
  EXPECT_STREQ(left, "");
  dialog_get_item_text(d, IDC_USER_NAME, left, sizeof left);
  EXPECT_STREQ(left, "root");

  auto filling = [](DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                    std::intptr_t lparam) -> std::intptr_t {
    if (message == WM_INITDIALOG) {
      dialog_combo_add(dialog, IDC_LOCAL_ADDRESS, "10.0.0.1");
      dialog_combo_add(dialog, IDC_LOCAL_ADDRESS, "10.0.0.2");
      dialog_combo_add(dialog, IDC_LOCAL_ADDRESS, "10.0.0.3");
      dialog_combo_select(dialog, IDC_LOCAL_ADDRESS, 0);
    }
    return ending_proc(dialog, message, wparam, lparam);
  };
  frontend.on_open = [](const DialogSnapshot& s) {
    dialog_post_combo_select(s.dialog, IDC_LOCAL_ADDRESS, 2);
    dialog_post_command(s.dialog, IDOK);
  };
  EXPECT_EQ(dialog_box(nullptr, IDD_ADDRESS_ADAPTER, filling), 1);
  DialogSnapshot address = frontend.wait_open(2);
  EXPECT_EQ(address.controls[5].items,
            (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
  EXPECT_EQ(address.controls[5].selection, 0);
  ASSERT_EQ(calls_of(address.dialog, WM_COMMAND).size(), 1u);
  EXPECT_EQ(calls_of(address.dialog, WM_COMMAND)[0].local_address, 2);
  // Input the front-end gave is not echoed back to it.
  EXPECT_EQ(frontend.log(),
            (std::vector<std::string>{logged("open", IDD_PASSWORD), "closed 1",
                                      logged("open", IDD_ADDRESS_ADAPTER), "closed 1"}));
}

TEST_F(DialogLayer, ItemTextIsCutToTheLimit) {
  DialogHandle d = shown(IDD_PASSWORD);
  dialog_set_item_text(d, IDC_USER_NAME, "abcdef");
  char buffer[16] = "xxxxxxxxxxxxxxx";
  EXPECT_EQ(dialog_get_item_text(d, IDC_USER_NAME, buffer, 4), 3);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(dialog_get_item_text(d, IDC_USER_NAME, buffer, 1), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(dialog_get_item_text(d, 4242, buffer, 16), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(dialog_get_item_text(d, IDC_USER_NAME, buffer, 16), 6);
  EXPECT_STREQ(buffer, "abcdef");
  dialog_destroy(d);
}

// ---------------------------------------------------------------------------
// What the front-end is told

TEST_F(DialogLayer, ProgressIsReportedOnlyWhenItChanges) {
  DialogHandle d = shown(IDD_CONNECTING);
  frontend.clear_log();
  dialog_progress_range(d, IDC_PROGRESS, 0, 100);  // a new bar's range already
  dialog_progress_range(d, IDC_PROGRESS, 0, 1000);
  dialog_progress_range(d, IDC_PROGRESS, 0, 1000);
  dialog_progress_pos(d, IDC_PROGRESS, 5);
  dialog_progress_pos(d, IDC_PROGRESS, 5);
  dialog_progress_pos(d, IDC_PROGRESS, 6);
  dialog_progress_pos(d, IDC_PROGRESS, 5000);  // held at the top of the range
  dialog_progress_pos(d, IDC_PROGRESS, 2000);
  dialog_progress_range(d, IDC_PROGRESS, 0, 70000);  // 16 bits: 4464
  dialog_progress_range(d, IDC_PROGRESS, 0, 500);    // the position follows the range
  EXPECT_EQ(frontend.log(),
            (std::vector<std::string>{
                logged("range", IDC_PROGRESS, " 0 1000"), logged("pos", IDC_PROGRESS, " 5"),
                logged("pos", IDC_PROGRESS, " 6"), logged("pos", IDC_PROGRESS, " 1000"),
                logged("range", IDC_PROGRESS, " 0 4464"), logged("range", IDC_PROGRESS, " 0 500"),
                logged("pos", IDC_PROGRESS, " 500")}));
  dialog_destroy(d);
}

TEST_F(DialogLayer, WhatIsDoneBeforeShowArrivesInTheSnapshot) {
  DialogHandle d = dialog_create(nullptr, IDD_WAITING, passive_proc);
  dialog_set_caption(d, "Waiting");
  dialog_set_item_text(d, IDC_WAITING_TEXT, "line 1\r\nline 2");
  dialog_progress_range(d, IDC_PROGRESS, 0, 1000);
  dialog_progress_pos(d, IDC_PROGRESS, 7);
  EXPECT_TRUE(frontend.log().empty());
  dialog_show(d);
  dialog_show(d);  // once only
  DialogSnapshot s = frontend.wait_open(1);
  EXPECT_FALSE(s.modal);
  EXPECT_EQ(s.template_id, IDD_WAITING);
  EXPECT_EQ(s.caption, "Waiting");
  ASSERT_EQ(s.controls.size(), 3u);
  EXPECT_EQ(s.controls[0].text, "Cancel");
  EXPECT_EQ(s.controls[1].range_high, 1000);
  EXPECT_EQ(s.controls[1].position, 7);
  EXPECT_EQ(s.controls[2].text, "line 1\r\nline 2");

  dialog_set_item_text(d, IDC_WAITING_TEXT, "line 1\r\nline 2");  // unchanged
  dialog_set_item_text(d, IDC_WAITING_TEXT, "");
  dialog_set_caption(d, "Waiting");
  dialog_set_caption(d, "Waiting again");
  dialog_combo_add(d, IDC_LOCAL_ADDRESS, "no such control");
  EXPECT_EQ(frontend.log(), (std::vector<std::string>{logged("open", IDD_WAITING),
                                                      logged("text", IDC_WAITING_TEXT, " "),
                                                      "caption Waiting again"}));
  dialog_destroy(d);
}

TEST_F(DialogLayer, ComboChangesCarryTheWholeList) {
  DialogHandle d = shown(IDD_ADDRESS_ADAPTER);
  frontend.clear_log();
  dialog_combo_add(d, IDC_LOCAL_ADDRESS, "a");
  dialog_combo_add(d, IDC_LOCAL_ADDRESS, "b");
  dialog_combo_select(d, IDC_LOCAL_ADDRESS, 1);
  dialog_combo_select(d, IDC_LOCAL_ADDRESS, 1);
  dialog_combo_select(d, IDC_LOCAL_ADDRESS, 9);  // out of range: no selection
  EXPECT_EQ(dialog_combo_selection(d, IDC_LOCAL_ADDRESS), -1);
  EXPECT_EQ(frontend.log(),
            (std::vector<std::string>{logged("combo", IDC_LOCAL_ADDRESS, " a sel -1"),
                                      logged("combo", IDC_LOCAL_ADDRESS, " a b sel -1"),
                                      logged("combo", IDC_LOCAL_ADDRESS, " a b sel 1"),
                                      logged("combo", IDC_LOCAL_ADDRESS, " a b sel -1")}));
  dialog_destroy(d);
}

TEST_F(DialogLayer, CentringUsesTheFrontEndsScreenAndTemplateSize) {
  DialogHandle d = shown(IDD_WARNING);
  // Before anything moves it, the dialog stands at its stored position.
  DialogSnapshot before = frontend.wait_open(1);
  EXPECT_EQ(before.x, 0);
  EXPECT_EQ(before.width, 408);
  EXPECT_EQ(before.height, 286);
  center_window(d);
  WindowRect rect;
  ASSERT_TRUE(window_get_rect(d, &rect));
  EXPECT_EQ(rect.left, (1000 - 408) / 2);
  EXPECT_EQ(rect.top, (700 - 286) / 2);
  EXPECT_EQ(rect.right - rect.left, 408);
  EXPECT_EQ(rect.bottom - rect.top, 286);
  EXPECT_EQ(frontend.log().back(), "move 296 207");
  dialog_destroy(d);

  // The adapter's address template is stored at 200, 200 dialog units.
  DialogHandle stored = shown(IDD_ADDRESS_ADAPTER);
  DialogSnapshot at = frontend.wait_open(2);
  EXPECT_EQ(at.x, 300);
  EXPECT_EQ(at.y, 325);
  dialog_destroy(stored);

  // A dialog larger than the screen goes to negative coordinates.
  frontend.screen_w = 300;
  frontend.screen_h = 201;
  DialogHandle big = shown(IDD_WAITING);  // 540 x 282 pixels here
  center_window(big);
  ASSERT_TRUE(window_get_rect(big, &rect));
  EXPECT_EQ(rect.left, -120);
  EXPECT_EQ(rect.top, -41);
  dialog_destroy(big);
}

TEST_F(DialogLayer, MessageBoxesNameTheirOwner) {
  DialogHandle d = shown(IDD_ADDRESS_ADAPTER);
  dialog_message_box(d, "Invalid IP Address", "Error");
  message_box_task_modal("Upgrade Failed: User Abort", "QEL Firwmare Upgrade Error");
  std::thread([] { message_box_task_modal("from a worker", nullptr); }).join();
  std::vector<std::string> log = frontend.log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1], "box Error: Invalid IP Address");
  EXPECT_EQ(log[2], "box QEL Firwmare Upgrade Error: Upgrade Failed: User Abort");
  EXPECT_EQ(log[3], "box Error: from a worker");
  EXPECT_EQ(frontend.box_owners(), (std::vector<DialogHandle>{d, nullptr, nullptr}));
  dialog_destroy(d);
}

TEST_F(DialogLayer, CallsFromAThreadThatDoesNotOwnTheDialogAreIgnored) {
  DialogHandle d = shown(IDD_PASSWORD);
  dialog_set_item_text(d, IDC_USER_NAME, "owner's");
  testing::internal::CaptureStderr();
  std::thread([d] {
    dialog_set_item_text(d, IDC_USER_NAME, "intruder's");
    char buffer[32];
    EXPECT_EQ(dialog_get_item_text(d, IDC_USER_NAME, buffer, 32), 0);
    dialog_end(d, 5);
  }).join();
  std::string complaints = testing::internal::GetCapturedStderr();
  EXPECT_NE(complaints.find("does not own"), std::string::npos);
  char buffer[32];
  dialog_get_item_text(d, IDC_USER_NAME, buffer, 32);
  EXPECT_STREQ(buffer, "owner's");
  dialog_post_command(d, 8);
  EXPECT_TRUE(dialog_pump_one(d)) << "the dialog must still be open";
  dialog_destroy(d);
}

// ---------------------------------------------------------------------------
// The scripted front-end

TEST(ScriptParser, ReadsEveryDirective) {
  const char* text =
      "# environment\n"
      "addresses 10.1.0.5 192.168.1.2   # two of them\n"
      "image IDR_TARGET_IMAGE target.bin\n"
      "image IDR_TRANSITION_IMAGE /abs/transition.bin\n"
      "image IDR_TARGET_IMAGE none\n"
      "stage transition\n"
      "clock 50 0xFFFF0000\n"
      "screen 800 600\n"
      "timeout 60000\n"
      "exhausted repeat\n"
      "\n"
      "answer IDD_ADDRESS_ADAPTER type IDC_DEVICE_ADDRESS \"1.2.3\" ; press IDOK;"
      "select IDC_LOCAL_ADDRESS 2 ; type IDC_DEVICE_ADDRESS \"a \\\"b\\\"\\r\\n#;\" ; press IDOK\n"
      "answer IDD_WAITING await-progress 500 ; delay 20 ; press IDCANCEL\n"
      "answer IDD_UPLOAD await-progress IDC_PROGRESS 7\n"
      "answer IDD_CONNECTING none\n";
  scripted::Script s;
  std::string error;
  ASSERT_TRUE(scripted::parse_script(text, "/scripts", &s, &error)) << error;
  EXPECT_EQ(s.host, scripted::HostAddresses::List);
  EXPECT_EQ(s.addresses, (std::vector<std::uint32_t>{0x0A010005, 0xC0A80102}));
  ASSERT_EQ(s.images.size(), 3u);
  EXPECT_EQ(s.images[0].resource, IDR_TARGET_IMAGE);
  EXPECT_EQ(s.images[0].path, "/scripts/target.bin");
  EXPECT_EQ(s.images[1].path, "/abs/transition.bin");
  EXPECT_EQ(s.images[2].path, "");
  EXPECT_TRUE(s.stage_set && s.transition_stage);
  EXPECT_EQ(s.clock_scale, 50.0);
  EXPECT_EQ(s.clock_offset, 0xFFFF0000u);
  EXPECT_EQ(s.screen_width, 800);
  EXPECT_EQ(s.timeout_ms, 60000);
  EXPECT_TRUE(s.repeat_last_answer);

  const scripted::Answer& address = s.answers.at(IDD_ADDRESS_ADAPTER).at(0);
  ASSERT_EQ(address.size(), 5u);
  EXPECT_EQ(address[0].kind, scripted::Action::Kind::Type);
  EXPECT_EQ(address[0].control, IDC_DEVICE_ADDRESS);
  EXPECT_EQ(address[0].text, "1.2.3");
  EXPECT_EQ(address[2].kind, scripted::Action::Kind::Select);
  EXPECT_EQ(address[2].value, 2);
  EXPECT_EQ(address[3].text, "a \"b\"\r\n#;");
  EXPECT_EQ(address[4].kind, scripted::Action::Kind::Press);
  const scripted::Answer& waiting = s.answers.at(IDD_WAITING).at(0);
  ASSERT_EQ(waiting.size(), 3u);
  EXPECT_EQ(waiting[0].kind, scripted::Action::Kind::AwaitProgress);
  EXPECT_EQ(waiting[0].control, 0);
  EXPECT_EQ(waiting[0].value, 500);
  EXPECT_EQ(waiting[1].kind, scripted::Action::Kind::Delay);
  EXPECT_EQ(s.answers.at(IDD_UPLOAD).at(0).at(0).control, IDC_PROGRESS);
  EXPECT_EQ(s.answers.at(IDD_CONNECTING).at(0).at(0).kind, scripted::Action::Kind::Nothing);

  ASSERT_TRUE(scripted::parse_script("addresses none\n", "", &s, &error));
  EXPECT_EQ(s.host, scripted::HostAddresses::List);
  EXPECT_TRUE(s.addresses.empty());
  ASSERT_TRUE(scripted::parse_script("addresses unresolved\n", "", &s, &error));
  EXPECT_EQ(s.host, scripted::HostAddresses::Unresolved);
}

TEST(ScriptParser, ReportsTheLineOfAnError) {
  struct Bad {
    const char* text;
    const char* error;
  };
  const Bad cases[] = {
      {"# ok\nfrobnicate 1\n", "line 2: unknown directive 'frobnicate'"},
      {"addresses 10.0.0.256\n", "line 1: 'addresses': bad address '10.0.0.256'"},
      {"addresses 10.0.0\n", "line 1: 'addresses': bad address '10.0.0'"},
      {"answer IDD_ADDRESS_ADAPTER type IDC_DEVICE_ADDRESS \"open\n",
       "line 1: unterminated string"},
      {"answer IDD_ADDRESS_ADAPTER jump 3\n", "line 1: unknown action 'jump'"},
      {"answer IDD_ADDRESS_ADAPTER press\n", "line 1: 'press' takes 1 argument(s)"},
      {"answer IDD_ADDRESS_ADAPTER press IDOK ;\n", "line 1: empty action"},
      {"\n\nanswer IDD_ADDRESS_ADAPTER delay soon\n", "line 3: 'delay': bad number 'soon'"},
      {"answer IDD_NONE press IDOK\n", "line 1: 'answer': bad or missing template"},
      {"answer IDD_WARNING press IDC_NONE\n", "line 1: 'press': bad id 'IDC_NONE'"},
      {"clock 0\n", "line 1: 'clock': the scale must be a number above 0"},
      {"stage middle\n", "line 1: 'stage' takes 'transition' or 'target'"},
  };
  for (const Bad& c : cases) {
    scripted::Script s;
    std::string error;
    EXPECT_FALSE(scripted::parse_script(c.text, "", &s, &error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
}

TEST(ScriptParser, AnswersRunOutByThePolicy) {
  scripted::Script s;
  std::string error;
  // A template or control by its name in resources/ids.h or by its number.
  ASSERT_TRUE(scripted::parse_script("answer IDD_PASSWORD press IDOK\nanswer 104 press 2\n", "", &s,
                                     &error));
  EXPECT_EQ(scripted::answer_for(s, IDD_PASSWORD, 0)->at(0).control, IDOK);
  EXPECT_EQ(scripted::answer_for(s, IDD_PASSWORD, 1)->at(0).control, IDCANCEL);
  EXPECT_EQ(scripted::answer_for(s, IDD_PASSWORD, 2), nullptr);
  EXPECT_EQ(scripted::answer_for(s, IDD_WARNING, 0), nullptr);
  s.repeat_last_answer = true;
  EXPECT_EQ(scripted::answer_for(s, IDD_PASSWORD, 5)->at(0).control, IDCANCEL);
  EXPECT_EQ(scripted::answer_for(s, IDD_WARNING, 0), nullptr);
}

// The dialogs' texts are single bytes in any code page, not UTF-8: every
// byte value, control characters, quotes and backslashes included, must come
// back as written, from one ASCII line.
TEST(TranscriptJson, OddStringsSurviveTheRoundTrip) {
  std::string every_byte;
  for (int c = 255; c >= 0; --c) every_byte += static_cast<char>(c);
  const std::string tricky = "a\r\nb \"q\" \\ \x01 caf\xe9 /";
  const std::vector<std::string> list = {"x", "\"y\"", "\xff"};
  scripted::TranscriptLine line = {{"text", tricky}, {"all", every_byte}, {"list", list}};
  line["nested"] = {{"1000", "\x7f\x80"}};
  const std::string text = scripted::transcript_text(line);
  EXPECT_TRUE(std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; }))
      << text;
  EXPECT_NE(text.find("caf\\u00e9"), std::string::npos) << text;

  Json back = scripted::parse_transcript_line(text);
  EXPECT_EQ(back.at("text"), tricky);
  EXPECT_EQ(back.at("all"), every_byte);
  EXPECT_EQ(back.at("list"), list);
  EXPECT_EQ(back.at("nested").at("1000"), "\x7f\x80");
}

// A tiny wizard for the scripted front-end to answer: warning, address
// entry with a refusal, a pumped progress dialog on its own thread, and an
// unanswered success dialog.

std::intptr_t e2e_warning(DialogHandle d, unsigned message, std::uintptr_t wparam, std::intptr_t) {
  if (message == WM_INITDIALOG) {
    dialog_set_caption(d, "Say \"yes\"");
    dialog_set_item_text(d, IDC_WARNING_TEXT, "line 1\r\nline 2: caf\xe9");
    dialog_focus_item(d, IDCANCEL);
    center_window(d);
    return FALSE;
  }
  if (message == WM_COMMAND) dialog_end(d, (wparam & 0xffff) == IDOK ? 1 : 0);
  return FALSE;
}

std::intptr_t e2e_address(DialogHandle d, unsigned message, std::uintptr_t wparam, std::intptr_t) {
  if (message == WM_INITDIALOG) {
    dialog_combo_add(d, IDC_LOCAL_ADDRESS, "10.0.0.1");
    dialog_combo_add(d, IDC_LOCAL_ADDRESS, "10.0.0.2");
    dialog_combo_select(d, IDC_LOCAL_ADDRESS, 0);
    dialog_focus_item(d, IDC_DEVICE_ADDRESS);
    center_window(d);
    return FALSE;
  }
  if (message != WM_COMMAND) return FALSE;
  if ((wparam & 0xffff) == IDCANCEL) {
    dialog_end(d, 0);
  } else if ((wparam & 0xffff) == IDOK) {
    char typed[64];
    dialog_get_item_text(d, IDC_DEVICE_ADDRESS, typed, 63);
    if (std::string(typed) != "10.0.0.9") {
      dialog_message_box(d, "Invalid IP Address", "Error");
      dialog_focus_item(d, IDC_DEVICE_ADDRESS);
    } else {
      dialog_end(d, 100 + dialog_combo_selection(d, IDC_LOCAL_ADDRESS));
    }
  }
  return FALSE;
}

std::atomic<bool> e2e_cancelled{false};

std::intptr_t e2e_abort(DialogHandle d, unsigned message, std::uintptr_t wparam, std::intptr_t) {
  if (message == WM_INITDIALOG) {
    center_window(d);
    return TRUE;
  }
  if (message == WM_COMMAND && (wparam & 0xffff) == IDCANCEL) {
    dialog_destroy(d);
    e2e_cancelled = true;
  }
  return FALSE;
}

struct Transcript {
  std::vector<Json> lines;
  std::string raw;  // the file's text
  std::vector<const Json*> of(const std::string& event, int dialog = 0) const {
    std::vector<const Json*> out;
    for (const auto& v : lines)
      if (v.at("event") == event && (dialog == 0 || v.value("dialog", 0) == dialog))
        out.push_back(&v);
    return out;
  }
};

Transcript read_transcript(std::FILE* file) {
  Transcript t;
  std::rewind(file);
  std::string line;
  for (int c; (c = std::fgetc(file)) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    t.raw += line + '\n';
    try {
      t.lines.push_back(scripted::parse_transcript_line(line));
    } catch (const Json::exception& e) {
      ADD_FAILURE() << e.what() << ": " << line;
    }
    line.clear();
  }
  EXPECT_TRUE(line.empty()) << "unterminated last line";
  return t;
}

TEST(ScriptedFrontend, AnswersTheDialogsAndWritesTheTranscript) {
  const char* text =
      "screen 800 600\n"
      "answer IDD_WARNING press IDOK\n"
      "answer IDD_ADDRESS_ADAPTER type IDC_DEVICE_ADDRESS \"1.2.3\" ; press IDOK ; "
      "select IDC_LOCAL_ADDRESS 1 ; type IDC_DEVICE_ADDRESS 10.0.0.9 ; press IDOK\n"
      "answer IDD_WAITING await-progress 2100 ; press IDCANCEL\n";
  scripted::Script script;
  std::string error;
  ASSERT_TRUE(scripted::parse_script(text, "", &script, &error)) << error;
  std::FILE* file = std::tmpfile();
  std::FILE* echo = std::tmpfile();
  ASSERT_TRUE(file && echo);
  e2e_cancelled = false;
  int last_position = 0;
  {
    scripted::ScriptedFrontend frontend(script, file, echo);
    frontend_install(&frontend);

    EXPECT_EQ(dialog_box(nullptr, IDD_WARNING, e2e_warning), 1);
    EXPECT_EQ(dialog_box(nullptr, IDD_ADDRESS_ADAPTER, e2e_address), 101);
    std::thread listener([&last_position] {
      DialogHandle d = dialog_create(nullptr, IDD_WAITING, e2e_abort);
      dialog_show(d);
      dialog_progress_range(d, IDC_PROGRESS, 0, 3000);
      for (int i = 1; i <= 3000 && !e2e_cancelled; ++i) {
        dialog_progress_pos(d, IDC_PROGRESS, i);
        last_position = i;
        dialog_pump_all(d);
        // Past the answer's mark, give the user time to press Cancel.
        if (i >= 2100) std::this_thread::sleep_for(1ms);
      }
    });
    listener.join();
    EXPECT_TRUE(e2e_cancelled);
    // Nothing answers the success dialog: the harness notes it and presses Esc.
    EXPECT_EQ(dialog_box(nullptr, IDD_SUCCESS, e2e_warning), 0);
    std::thread([] { message_box_task_modal("Upgrade Failed: User Abort", "Oops"); }).join();
    frontend.record_exit(0);
    frontend.record_error("after the exit: not written");
    frontend_install(nullptr);
  }
  Transcript t = read_transcript(file);
  ASSERT_FALSE(t.lines.empty());
  for (std::size_t i = 0; i < t.lines.size(); ++i)
    EXPECT_EQ(t.lines[i].at("seq"), static_cast<long long>(i + 1));
  EXPECT_EQ(t.lines.back().at("event"), "exit");
  EXPECT_EQ(t.lines.back().at("code"), 0);

  auto opens = t.of("open");
  ASSERT_EQ(opens.size(), 4u);
  // The warning: texts after WM_INITDIALOG, focus, centred on an 800 x 600
  // screen with 312 x 257 pixels (204 x 143 units at 6 x 13, frame added).
  const Json& warning = *opens[0];
  EXPECT_EQ(warning.at("template"), IDD_WARNING);
  EXPECT_EQ(warning.at("thread"), "main");
  EXPECT_TRUE(warning.at("modal").get<bool>());
  EXPECT_EQ(warning.at("caption"), "Say \"yes\"");
  // A single-byte text, not UTF-8, written as documented and read back whole.
  const std::string text_key = std::to_string(IDC_WARNING_TEXT);
  EXPECT_EQ(warning.at("controls").at(text_key), "line 1\r\nline 2: caf\xe9");
  EXPECT_NE(t.raw.find('"' + text_key + R"(":"line 1\r\nline 2: caf\u00e9")"), std::string::npos)
      << t.raw;
  EXPECT_EQ(warning.at("controls").at(std::to_string(IDOK)), "Continue");
  EXPECT_EQ(warning.at("focus"), IDCANCEL);
  EXPECT_EQ(warning.at("width"), 312);
  EXPECT_EQ(warning.at("height"), 257);
  EXPECT_EQ(warning.at("x"), (800 - 312) >> 1);
  EXPECT_EQ(warning.at("y"), (600 - 257) >> 1);
  int warning_number = warning.at("dialog").get<int>();
  auto warning_inputs = t.of("input", warning_number);
  ASSERT_EQ(warning_inputs.size(), 1u);
  EXPECT_EQ(warning_inputs[0]->at("control"), IDOK);
  EXPECT_EQ(t.of("close", warning_number).at(0)->at("result"), 1);

  // The address dialog: the first try is refused with an owned box.
  const Json& address = *opens[1];
  int address_number = address.at("dialog").get<int>();
  const Json& local = address.at("combos").at(std::to_string(IDC_LOCAL_ADDRESS));
  EXPECT_EQ(local.at("items").size(), 2u);
  EXPECT_EQ(local.at("selection"), 0);
  EXPECT_EQ(address.at("focus"), IDC_DEVICE_ADDRESS);
  EXPECT_EQ(address.at("static").at(0), "Your IP Address");
  EXPECT_EQ(t.of("input", address_number).size(), 5u);
  auto boxes = t.of("message_box");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0]->at("owner"), address_number);
  EXPECT_EQ(boxes[0]->at("title"), "Error");
  EXPECT_EQ(boxes[0]->at("text"), "Invalid IP Address");
  EXPECT_EQ(t.of("close", address_number).at(0)->at("result"), 101);

  // The progress dialog on its own thread, cancelled once past 2100, with
  // its positions summed up in a few lines.
  const Json& waiting = *opens[2];
  int waiting_number = waiting.at("dialog").get<int>();
  EXPECT_EQ(waiting.at("thread"), "thread-" + std::to_string(IDD_WAITING));
  EXPECT_FALSE(waiting.at("modal").get<bool>());
  EXPECT_EQ(waiting.at("focus"), IDCANCEL);
  ASSERT_EQ(t.of("range", waiting_number).size(), 1u);
  auto batches = t.of("progress", waiting_number);
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[0]->at("count"), 1000);
  EXPECT_EQ(batches[0]->at("first"), 1);
  EXPECT_EQ(batches[0]->at("last"), 1000);
  long long total = 0;
  for (auto* b : batches) total += b->at("count").get<long long>();
  EXPECT_EQ(total, last_position);
  EXPECT_EQ(batches.back()->at("last"), last_position);
  EXPECT_GE(last_position, 2100);
  auto waiting_close = t.of("close", waiting_number);
  ASSERT_EQ(waiting_close.size(), 1u);
  EXPECT_TRUE(waiting_close[0]->at("destroyed").get<bool>());
  EXPECT_LT(batches.back()->at("seq").get<int>(), waiting_close[0]->at("seq").get<int>());

  // The unanswered success dialog.
  int success_number = opens[3]->at("dialog").get<int>();
  auto errors = t.of("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(
      errors[0]->at("message").get<std::string>().find("template " + std::to_string(IDD_SUCCESS)),
      std::string::npos);
  EXPECT_EQ(t.of("close", success_number).at(0)->at("result"), 0);

  // A box from a thread with no dialog of its own.
  EXPECT_TRUE(boxes[1]->at("owner").is_null());
  EXPECT_EQ(boxes[1]->at("thread"), "thread-#1");

  std::rewind(echo);
  std::string shown;
  for (int c; (c = std::fgetc(echo)) != EOF;) shown += static_cast<char>(c);
  EXPECT_NE(shown.find("+--- Say \"yes\" ---"), std::string::npos);
  EXPECT_NE(shown.find("| line 2: caf\xe9\n"), std::string::npos);
  EXPECT_NE(shown.find("[ Continue ]  [>Cancel<]"), std::string::npos);
  EXPECT_NE(shown.find("| Invalid IP Address"), std::string::npos);
  std::fclose(file);
  std::fclose(echo);
}

// A script names the local address by its text; a text the list lacks must
// not fall back to whatever item is selected.
TEST(ScriptedFrontend, SelectsAComboItemByItsTextAndCancelsWhenNoneMatches) {
  scripted::Script script;
  std::string error;
  ASSERT_TRUE(
      scripted::parse_script("answer IDD_ADDRESS_ADAPTER select-text IDC_LOCAL_ADDRESS 10.0.0.2 ; "
                             "type IDC_DEVICE_ADDRESS 10.0.0.9 ; press IDOK\n"
                             "answer IDD_ADDRESS_ADAPTER select-text IDC_LOCAL_ADDRESS 10.0.0.3 ; "
                             "type IDC_DEVICE_ADDRESS 10.0.0.9 ; press IDOK\n",
                             "", &script, &error))
      << error;
  std::FILE* file = std::tmpfile();
  ASSERT_TRUE(file);
  {
    scripted::ScriptedFrontend frontend(script, file, nullptr);
    frontend_install(&frontend);
    EXPECT_EQ(dialog_box(nullptr, IDD_ADDRESS_ADAPTER, e2e_address), 101)
        << "the second item, by its text";
    EXPECT_EQ(dialog_box(nullptr, IDD_ADDRESS_ADAPTER, e2e_address), 0) << "no such item: Cancel";
    frontend.record_exit(0);
    frontend_install(nullptr);
  }
  Transcript t = read_transcript(file);
  std::fclose(file);
  auto first = t.of("input", 1);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[0]->at("action"), "select");
  EXPECT_EQ(first[0]->at("index"), 1);
  EXPECT_EQ(first[0]->at("text"), "10.0.0.2");
  auto errors = t.of("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0]->at("message").get<std::string>().find("\"10.0.0.3\""), std::string::npos);
  auto second = t.of("input", 2);
  ASSERT_EQ(second.size(), 1u) << "nothing after the Cancel";
  EXPECT_EQ(second[0]->at("control"), IDCANCEL);
}

TEST(ScriptedFrontend, LongRunsOfChangesAreSummedUp) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    scripted::ScriptedFrontend frontend(scripted::Script{}, file, nullptr);
    frontend_install(&frontend);
    DialogHandle d = dialog_create(nullptr, IDD_UPLOAD, e2e_abort);
    dialog_show(d);
    dialog_progress_range(d, IDC_PROGRESS, 0, 5000);
    for (int i = 1; i <= 2500; ++i) dialog_progress_pos(d, IDC_PROGRESS, i);
    dialog_progress_range(d, IDC_PROGRESS, 0, 100);  // ends the run: 2500 is held at 100
    for (int block = 1; block <= 100; ++block)
      dialog_set_caption(d, ("Uploading " + std::to_string(block)).c_str());
    dialog_destroy(d);
    frontend_install(nullptr);
  }
  Transcript t = read_transcript(file);
  auto batches = t.of("progress");
  ASSERT_EQ(batches.size(), 4u);
  EXPECT_EQ(batches[0]->at("count"), 1000);
  EXPECT_EQ(batches[1]->at("count"), 1000);
  EXPECT_EQ(batches[2]->at("count"), 500);
  EXPECT_EQ(batches[2]->at("last"), 2500);
  EXPECT_EQ(batches[3]->at("count"), 1);
  EXPECT_EQ(batches[3]->at("last"), 100);
  auto ranges = t.of("range");
  ASSERT_EQ(ranges.size(), 2u);
  // The batch before a range change is written before it.
  EXPECT_LT(batches[2]->at("seq").get<int>(), ranges[1]->at("seq").get<int>());

  auto captions = t.of("caption");
  ASSERT_EQ(captions.size(), static_cast<std::size_t>(scripted::ScriptedFrontend::CAPTION_LINES));
  EXPECT_EQ(captions[0]->at("text"), "Uploading 1");
  auto summed = t.of("captions");
  ASSERT_EQ(summed.size(), 1u);
  EXPECT_EQ(summed[0]->at("count"), 100 - scripted::ScriptedFrontend::CAPTION_LINES);
  EXPECT_EQ(summed[0]->at("first"), "Uploading 65");
  EXPECT_EQ(summed[0]->at("last"), "Uploading 100");
  EXPECT_EQ(t.lines.back().at("event"), "close");
  EXPECT_LT(t.lines.size(), 80u);
  std::fclose(file);
}

TEST(ScriptedFrontend, DelayedAnswerWaitsInRealTime) {
  scripted::Script script;
  std::string error;
  ASSERT_TRUE(scripted::parse_script("answer IDD_CONNECTING delay 80 ; press IDCANCEL\n", "",
                                     &script, &error));
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  e2e_cancelled = false;
  {
    scripted::ScriptedFrontend frontend(script, file, nullptr);
    frontend_install(&frontend);
    auto start = std::chrono::steady_clock::now();
    DialogHandle d = dialog_create(nullptr, IDD_CONNECTING, e2e_abort);
    dialog_show(d);
    while (!e2e_cancelled && std::chrono::steady_clock::now() - start < 5s) {
      dialog_pump_one(d);
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(e2e_cancelled);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 80ms);
    frontend_install(nullptr);
  }
  Transcript t = read_transcript(file);
  ASSERT_EQ(t.lines.size(), 3u);
  EXPECT_EQ(t.lines[0].at("event"), "open");
  EXPECT_EQ(t.lines[1].at("event"), "input");
  EXPECT_EQ(t.lines[1].at("thread"), "user");
  EXPECT_EQ(t.lines[2].at("event"), "close");
  std::fclose(file);
}

}  // namespace

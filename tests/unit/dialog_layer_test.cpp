// The POSIX dialog layer: modal and modeless dialogs, per-thread queues and
// the front-end edge.
#include <gtest/gtest.h>

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

#include "platform/dialog.h"
#include "platform/posix/frontend.h"
#include "ui/ui.h"

namespace {

using namespace std::chrono_literals;

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
    add("range " + std::to_string(control) + " " + std::to_string(low) + " " + std::to_string(high));
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
  void focus_changed(DialogHandle, int control) override { add("focus " + std::to_string(control)); }
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

// ---------------------------------------------------------------------------
// Dialog procedures that write down their calls.

struct Call {
  DialogHandle dialog;
  unsigned message;
  int id;
  std::thread::id thread;
  std::string text_1003, text_1005;
  int combo_1017;
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
    dialog_get_item_text(d, 1003, text, sizeof text);
    call.text_1003 = text;
    dialog_get_item_text(d, 1005, text, sizeof text);
    call.text_1005 = text;
    call.combo_1017 = dialog_combo_selection(d, 1017);
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
  for (auto [command, expected] : {std::pair{IDOK, 1}, std::pair{IDCANCEL, 0}, std::pair{42, 42}}) {
    frontend.on_open = [command](const DialogSnapshot& s) { dialog_post_command(s.dialog, command); };
    EXPECT_EQ(dialog_box(nullptr, 139, ending_proc), expected);
  }
  EXPECT_EQ(frontend.log(),
            (std::vector<std::string>{"open 139", "closed 1", "open 139", "closed 0", "open 139",
                                      "closed 42"}));
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
  EXPECT_EQ(dialog_box(nullptr, 111, ending_proc), 1);
  DialogSnapshot s = frontend.wait_open(1);
  EXPECT_EQ(s.caption, "Set while initialising");
  EXPECT_TRUE(s.modal);
  EXPECT_EQ(command_ids(seen), (std::vector<int>{NOOP_COMMAND, IDOK}));
  for (const Call& c : calls_of(seen, WM_COMMAND)) EXPECT_EQ(c.thread, std::this_thread::get_id());
  // The caption set during WM_INITDIALOG came with the snapshot, not as a change.
  EXPECT_EQ(frontend.log(), (std::vector<std::string>{"open 111", "closed 1"}));
}

TEST_F(DialogLayer, WithoutFrontEndModalDialogsFailAndBoxesGoToStderr) {
  frontend_install(nullptr);
  EXPECT_EQ(dialog_box(nullptr, 139, ending_proc), -1);
  {
    std::lock_guard lock(calls_lock);
    EXPECT_TRUE(calls.empty()) << "the procedure must not run";
  }
  testing::internal::CaptureStderr();
  message_box_task_modal("Upgrade Failed: User Abort", "QEL Firwmare Upgrade Error");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "QEL Firwmare Upgrade Error: Upgrade Failed: User Abort\n");
  // Modeless dialogs still work, unseen.
  DialogHandle d = dialog_create(nullptr, 105, passive_proc);
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
      {139, 2, TRUE, 1},        // the platform's choice wins over the procedure's
      {139, 2, FALSE, 2},       // warning: Cancel, as the procedure set it
      {114, 0, TRUE, 2},        // progress bar and static text skipped
      {104, 1005, FALSE, 1005}, // password field
      {101, 1000, FALSE, 1000}, // address field, last in the tab order
      {139, 0, FALSE, NO_FOCUS},
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
  dialog_box(nullptr, 139, ending_proc);
  EXPECT_EQ(frontend.wait_open(++opened).focus, 1);
}

TEST_F(DialogLayer, FocusMovesAreReportedOnce) {
  init_answer = TRUE;
  DialogHandle d = shown(104);
  frontend.clear_log();
  dialog_focus_item(d, 1005);
  dialog_focus_item(d, 1005);
  dialog_focus_item(d, 4242);  // no such control: no change
  dialog_focus_item(d, 1);
  EXPECT_EQ(frontend.log(), (std::vector<std::string>{"focus 1005", "focus 1"}));
  dialog_destroy(d);
}

// ---------------------------------------------------------------------------
// Queues and ownership

TEST_F(DialogLayer, PostedMessagesWaitUntilTheOwnerPumpsOneAtATime) {
  DialogHandle d = shown(114);
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
  DialogHandle a = shown(114);
  DialogHandle b = shown(110);
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
  DialogHandle modeless = shown(114);
  frontend.on_open = [modeless](const DialogSnapshot& s) {
    if (s.template_id != 111) return;
    dialog_post_command(modeless, 3);
    dialog_post_command(s.dialog, IDOK);
  };
  EXPECT_EQ(dialog_box(nullptr, 111, ending_proc), 1);
  EXPECT_EQ(command_ids(modeless), (std::vector<int>{3}));
  dialog_destroy(modeless);
}

TEST_F(DialogLayer, TwoThreadsServeTheirOwnDialogsAtTheSameTime) {
  // A modal dialog on one thread and a pumped modeless one on another, as
  // the main thread's query and the listener's waiting dialog are.
  std::atomic<bool> modeless_done{false};
  std::promise<DialogHandle> modeless_handle;
  std::thread listener([&] {
    DialogHandle d = dialog_create(nullptr, 114, passive_proc);
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
  std::packaged_task<int()> modal_task([] { return dialog_box(nullptr, 139, ending_proc); });
  std::future<int> modal_result = modal_task.get_future();
  std::thread main_like(std::move(modal_task));

  DialogHandle waiting = modeless_handle.get_future().get();
  DialogHandle modal = nullptr;
  for (std::size_t n = 1; n <= 2 && !modal; ++n) {
    DialogSnapshot s = frontend.wait_open(n);
    if (s.template_id == 139) modal = s.dialog;
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
  DialogHandle d = shown(105);
  dialog_post_command(d, 5);
  dialog_destroy(d);
  EXPECT_FALSE(dialog_pump_one(d));
  EXPECT_FALSE(dialog_post_command(d, 6));
  std::thread([d] {
    // A late post from another thread finds valid memory and is refused.
    EXPECT_FALSE(dialog_post_command(d, 7));
    EXPECT_FALSE(dialog_post_item_text(d, 1010, "x"));
  }).join();
  EXPECT_FALSE(dialog_pump_one(d));
  EXPECT_TRUE(command_ids(d).empty());

  // Nothing more is reported about it.
  dialog_destroy(d);
  dialog_set_caption(d, "gone");
  dialog_progress_pos(d, 1010, 50);
  WindowRect rect;
  EXPECT_FALSE(window_get_rect(d, &rect));
  EXPECT_EQ(frontend.log(), (std::vector<std::string>{"open 105", "destroyed"}));

  // A modal dialog drops what was queued behind the command that ended it.
  DialogHandle modal = nullptr;
  frontend.on_open = [&modal](const DialogSnapshot& s) {
    modal = s.dialog;
    dialog_post_command(s.dialog, IDOK);
    dialog_post_command(s.dialog, 5);
  };
  EXPECT_EQ(dialog_box(nullptr, 139, ending_proc), 1);
  EXPECT_EQ(command_ids(modal), (std::vector<int>{IDOK}));
  EXPECT_FALSE(dialog_post_command(modal, IDOK));
}

TEST_F(DialogLayer, DestroyingWhileInitialisingFailsTheCreation) {
  auto self_destroying = [](DialogHandle d, unsigned message, std::uintptr_t,
                            std::intptr_t) -> std::intptr_t {
    if (message == WM_INITDIALOG) dialog_destroy(d);
    return TRUE;
  };
  EXPECT_EQ(dialog_create(nullptr, 105, self_destroying), nullptr);
  auto self_ending = [](DialogHandle d, unsigned message, std::uintptr_t,
                        std::intptr_t) -> std::intptr_t {
    if (message == WM_INITDIALOG) dialog_end(d, 77);
    return TRUE;
  };
  EXPECT_EQ(dialog_box(nullptr, 139, self_ending), 77);
  EXPECT_TRUE(frontend.log().empty()) << "neither dialog was ever shown";
}

// ---------------------------------------------------------------------------
// User input

TEST_F(DialogLayer, TypedTextAndChosenItemsAreInPlaceWhenTheCommandRuns) {
  frontend.on_open = [](const DialogSnapshot& s) {
    dialog_post_item_text(s.dialog, 1003, "root");
    dialog_post_item_text(s.dialog, 1005, "pa\"ss\r\nword");
    dialog_post_command(s.dialog, IDOK);
  };
  EXPECT_EQ(dialog_box(nullptr, 104, ending_proc), 1);
  DialogHandle d = frontend.wait_open(1).dialog;
  std::vector<Call> commands = calls_of(d, WM_COMMAND);
  ASSERT_EQ(commands.size(), 1u) << "typing must not call the procedure";
  EXPECT_EQ(commands[0].text_1003, "root");
  EXPECT_EQ(commands[0].text_1005, "pa\"ss\r\nword");

  auto filling = [](DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                    std::intptr_t lparam) -> std::intptr_t {
    if (message == WM_INITDIALOG) {
      dialog_combo_add(dialog, 1017, "10.0.0.1");
      dialog_combo_add(dialog, 1017, "10.0.0.2");
      dialog_combo_add(dialog, 1017, "10.0.0.3");
      dialog_combo_select(dialog, 1017, 0);
    }
    return ending_proc(dialog, message, wparam, lparam);
  };
  frontend.on_open = [](const DialogSnapshot& s) {
    dialog_post_combo_select(s.dialog, 1017, 2);
    dialog_post_command(s.dialog, IDOK);
  };
  EXPECT_EQ(dialog_box(nullptr, 101, filling), 1);
  DialogSnapshot address = frontend.wait_open(2);
  EXPECT_EQ(address.controls[5].items, (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
  EXPECT_EQ(address.controls[5].selection, 0);
  ASSERT_EQ(calls_of(address.dialog, WM_COMMAND).size(), 1u);
  EXPECT_EQ(calls_of(address.dialog, WM_COMMAND)[0].combo_1017, 2);
  // Input the front-end gave is not echoed back to it.
  EXPECT_EQ(frontend.log(),
            (std::vector<std::string>{"open 104", "closed 1", "open 101", "closed 1"}));
}

TEST_F(DialogLayer, ItemTextIsCutToTheLimit) {
  DialogHandle d = shown(104);
  dialog_set_item_text(d, 1003, "abcdef");
  char buffer[16] = "xxxxxxxxxxxxxxx";
  EXPECT_EQ(dialog_get_item_text(d, 1003, buffer, 4), 3);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(dialog_get_item_text(d, 1003, buffer, 1), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(dialog_get_item_text(d, 4242, buffer, 16), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(dialog_get_item_text(d, 1003, buffer, 16), 6);
  EXPECT_STREQ(buffer, "abcdef");
  dialog_destroy(d);
}

// ---------------------------------------------------------------------------
// What the front-end is told

TEST_F(DialogLayer, ProgressIsReportedOnlyWhenItChanges) {
  DialogHandle d = shown(105);
  frontend.clear_log();
  dialog_progress_range(d, 1010, 0, 100);  // a new bar's range already
  dialog_progress_range(d, 1010, 0, 1000);
  dialog_progress_range(d, 1010, 0, 1000);
  dialog_progress_pos(d, 1010, 5);
  dialog_progress_pos(d, 1010, 5);
  dialog_progress_pos(d, 1010, 6);
  dialog_progress_pos(d, 1010, 5000);  // held at the top of the range
  dialog_progress_pos(d, 1010, 2000);
  dialog_progress_range(d, 1010, 0, 70000);  // 16 bits: 4464
  dialog_progress_range(d, 1010, 0, 500);    // the position follows the range
  EXPECT_EQ(frontend.log(),
            (std::vector<std::string>{"range 1010 0 1000", "pos 1010 5", "pos 1010 6",
                                      "pos 1010 1000", "range 1010 0 4464", "range 1010 0 500",
                                      "pos 1010 500"}));
  dialog_destroy(d);
}

TEST_F(DialogLayer, WhatIsDoneBeforeShowArrivesInTheSnapshot) {
  DialogHandle d = dialog_create(nullptr, 114, passive_proc);
  dialog_set_caption(d, "Waiting");
  dialog_set_item_text(d, 1022, "line 1\r\nline 2");
  dialog_progress_range(d, 1010, 0, 1000);
  dialog_progress_pos(d, 1010, 7);
  EXPECT_TRUE(frontend.log().empty());
  dialog_show(d);
  dialog_show(d);  // once only
  DialogSnapshot s = frontend.wait_open(1);
  EXPECT_FALSE(s.modal);
  EXPECT_EQ(s.template_id, 114);
  EXPECT_EQ(s.caption, "Waiting");
  ASSERT_EQ(s.controls.size(), 3u);
  EXPECT_EQ(s.controls[0].text, "Cancel");
  EXPECT_EQ(s.controls[1].range_high, 1000);
  EXPECT_EQ(s.controls[1].position, 7);
  EXPECT_EQ(s.controls[2].text, "line 1\r\nline 2");

  dialog_set_item_text(d, 1022, "line 1\r\nline 2");  // unchanged
  dialog_set_item_text(d, 1022, "");
  dialog_set_caption(d, "Waiting");
  dialog_set_caption(d, "Waiting again");
  dialog_combo_add(d, 1017, "no such control");
  EXPECT_EQ(frontend.log(),
            (std::vector<std::string>{"open 114", "text 1022 ", "caption Waiting again"}));
  dialog_destroy(d);
}

TEST_F(DialogLayer, ComboChangesCarryTheWholeList) {
  DialogHandle d = shown(101);
  frontend.clear_log();
  dialog_combo_add(d, 1017, "a");
  dialog_combo_add(d, 1017, "b");
  dialog_combo_select(d, 1017, 1);
  dialog_combo_select(d, 1017, 1);
  dialog_combo_select(d, 1017, 9);  // out of range: no selection
  EXPECT_EQ(dialog_combo_selection(d, 1017), -1);
  EXPECT_EQ(frontend.log(), (std::vector<std::string>{"combo 1017 a sel -1", "combo 1017 a b sel -1",
                                                      "combo 1017 a b sel 1", "combo 1017 a b sel -1"}));
  dialog_destroy(d);
}

TEST_F(DialogLayer, CentringUsesTheFrontEndsScreenAndTemplateSize) {
  DialogHandle d = shown(139);
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

  // Template 101 is stored at 200, 200 dialog units.
  DialogHandle stored = shown(101);
  DialogSnapshot at = frontend.wait_open(2);
  EXPECT_EQ(at.x, 300);
  EXPECT_EQ(at.y, 325);
  dialog_destroy(stored);

  // A dialog larger than the screen goes to negative coordinates.
  frontend.screen_w = 300;
  frontend.screen_h = 201;
  DialogHandle big = shown(114);  // 540 x 282 pixels here
  center_window(big);
  ASSERT_TRUE(window_get_rect(big, &rect));
  EXPECT_EQ(rect.left, -120);
  EXPECT_EQ(rect.top, -41);
  dialog_destroy(big);
}

TEST_F(DialogLayer, MessageBoxesNameTheirOwner) {
  DialogHandle d = shown(101);
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
  DialogHandle d = shown(104);
  dialog_set_item_text(d, 1003, "owner's");
  testing::internal::CaptureStderr();
  std::thread([d] {
    dialog_set_item_text(d, 1003, "intruder's");
    char buffer[32];
    EXPECT_EQ(dialog_get_item_text(d, 1003, buffer, 32), 0);
    dialog_end(d, 5);
  }).join();
  std::string complaints = testing::internal::GetCapturedStderr();
  EXPECT_NE(complaints.find("does not own"), std::string::npos);
  char buffer[32];
  dialog_get_item_text(d, 1003, buffer, 32);
  EXPECT_STREQ(buffer, "owner's");
  dialog_post_command(d, 8);
  EXPECT_TRUE(dialog_pump_one(d)) << "the dialog must still be open";
  dialog_destroy(d);
}

}  // namespace

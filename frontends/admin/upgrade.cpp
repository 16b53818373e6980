// The command-line front-end: it answers the wizard's dialogs as a person
// with the command line's choices would, prints what they show, and maps
// how the run ended to an exit code. The wizard itself runs unchanged: its
// checks, its wire formats and its messages are the ones a person sees.
//
// The wizard ends the process itself (process_exit, from whichever thread
// finishes the run, always with 0); the exit hook turns what the front-end
// saw into the result, prints it and ends the process with the right code.
#include "frontends/admin/upgrade.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "frontends/admin/progress.h"
#include "frontends/admin/util.h"
#include "frontends/common/dialog.h"
#include "frontends/common/text.h"
#include "http/http.h"
#include "http/query.h"
#include "platform/posix/frontend.h"
#include "platform/process.h"
#include "resources/ids.h"
#include "ui/ui.h"

namespace admin {

namespace {

using Clock = std::chrono::steady_clock;
using frontend::plain_text;

// The wizard's texts this front-end recognises.
const char USER_ABORT[] = "Upgrade Failed: User Abort";
const char NO_RESPONSE[] = "Upgrade Failed: No Response From QEL";
const char VERSION_NOT_MATCHING[] = "Upgrade Failed: Version not matching";
const char INVALID_ADDRESS[] = "Invalid IP Address";
const char CONFIRM_CAPTION_PREFIX[] = "Confirm Upgrade to Ver. ";
const char REFLASH_CAPTION_PREFIX[] = "Updating ";

constexpr int INTERACTIVE_PASSWORD_TRIES = 3;
// After Ctrl-C, how long to wait for a dialog to take the Cancel before the
// run is ended without it.
constexpr auto CANCEL_GRACE = std::chrono::seconds(5);

std::string text_of(const DialogSnapshot& s, int id) {
  for (const ControlSnapshot& c : s.controls)
    if (c.id == id) return c.text;
  return "";
}

const ControlSnapshot* control_of(const DialogSnapshot& s, int id) {
  for (const ControlSnapshot& c : s.controls)
    if (c.id == id) return &c;
  return nullptr;
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

struct Outcome {
  int code = EXIT_FAILED;
  std::string result;
  std::string message;
  std::string product, version_before, version_after, version_target;
  int stages = 0;  // 0: not known
};

class CliFrontend : public DialogFrontend {
 public:
  CliFrontend(const UpgradeOptions& options, Progress* progress, std::string password,
              bool have_password, bool interactive)
      : options_(options),
        progress_(progress),
        password_(std::move(password)),
        have_password_(have_password),
        interactive_(interactive) {}

  void dialog_opened(const DialogSnapshot& s) override;
  void caption_changed(DialogHandle dialog, const std::string& text) override;
  void item_text_changed(DialogHandle, int, const std::string&) override {}
  void progress_range_changed(DialogHandle dialog, int control, int low, int high) override;
  void progress_position_changed(DialogHandle dialog, int control, int position) override;
  void combo_changed(DialogHandle, int, const std::vector<std::string>&, int) override {}
  void focus_changed(DialogHandle, int) override {}
  void dialog_moved(DialogHandle, int, int) override {}
  void dialog_closed(DialogHandle dialog, int result, bool destroyed) override;
  void message_box(DialogHandle owner, const std::string& text, const std::string& title) override;
  int screen_width() override { return 1024; }
  int screen_height() override { return 768; }
  PixelSize template_pixel_size(const DialogTemplate& t) override {
    // The size only places dialogs nobody sees.
    return frontend::default_pixel_size(t);
  }

  // Ctrl-C: Cancel in every open dialog, as a person at the wizard would
  // press it. False when no dialog was open to take it.
  bool interrupt();
  Outcome outcome();

 private:
  struct Shown {
    int template_id = 0;
    std::string caption;
    int low = 0, high = 100;
  };

  void answer_address(const DialogSnapshot& s);
  void answer_password(const DialogSnapshot& s);
  void answer_confirm(const DialogSnapshot& s);
  void answer_success(const DialogSnapshot& s);
  // Ends the run with the front-end's own reason: the wizard's "User Abort"
  // that the Cancel brings is then not shown, since nobody aborted.
  void give_up(DialogHandle dialog, int code, const std::string& why);
  int choose_local_address(const std::vector<std::string>& items, std::string* note);
  std::string upload_state(const Shown& shown) const;

  const UpgradeOptions options_;
  Progress* const progress_;
  const std::string password_;
  const bool have_password_;
  const bool interactive_;

  std::mutex lock_;
  std::map<DialogHandle, Shown> shown_;  // open dialogs only
  std::string warning_text_;
  bool confirmed_ = false;
  int confirm_template_ = 0;
  std::string product_, version_before_, version_target_, version_after_;
  bool transfer_seen_ = false;
  bool success_seen_ = false;
  bool dry_run_done_ = false;
  bool user_aborted_ = false;
  bool own_cancel_ = false;
  int own_code_ = -1;
  std::string own_message_;
  std::string last_message_;
  int password_openings_ = 0;
};

void CliFrontend::dialog_opened(const DialogSnapshot& s) {
  {
    std::lock_guard lock(lock_);
    shown_[s.dialog] = {s.template_id, s.caption, 0, 100};
    if (const ControlSnapshot* bar = control_of(s, IDC_PROGRESS)) {
      shown_[s.dialog].low = bar->range_low;
      shown_[s.dialog].high = bar->range_high;
    }
  }
  switch (s.template_id) {
    case IDD_WARNING: {
      // Running the command is the consent the warning asks for; the text
      // is shown before an interactive confirmation.
      std::lock_guard lock(lock_);
      warning_text_ = text_of(s, IDC_WARNING_TEXT);
    }
      dialog_post_command(s.dialog, IDOK);
      break;
    case IDD_ADDRESS_ADAPTER:
    case IDD_ADDRESS_PHONE:
      answer_address(s);
      break;
    case IDD_CONNECTING: {
      std::lock_guard lock(lock_);
      const char* state = transfer_seen_ ? "verify" : confirmed_ ? "request" : "connect";
      progress_->update(state, s.caption, -1);
      break;
    }
    case IDD_PASSWORD:
      answer_password(s);
      break;
    case IDD_CONFIRM_TARGET:
    case IDD_CONFIRM_TRANSITION:
      answer_confirm(s);
      break;
    case IDD_WAITING:
      progress_->update("wait", s.caption, -1);
      break;
    case IDD_UPLOAD: {
      std::lock_guard lock(lock_);
      transfer_seen_ = true;
      progress_->update("upload", s.caption, 0);
      break;
    }
    case IDD_SUCCESS:
      answer_success(s);
      break;
    default:
      break;
  }
}

int CliFrontend::choose_local_address(const std::vector<std::string>& items, std::string* note) {
  if (items.empty()) return 0;  // the wizard says the PC has no address
  std::uint32_t device = 0;
  parse_ip_address(options_.address.c_str(), &device);  // the wizard's own reading
  std::vector<Subnet> subnets = interface_subnets();
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::uint32_t local;
    if (!parse_dotted(items[i], &local)) continue;
    for (const Subnet& s : subnets)
      if (s.address == local && device != 0 && s.holds(device)) return static_cast<int>(i);
  }
  if (device != 0)
    *note = "qel-upgrade upgrade: no address of this PC is on the subnet of " + options_.address +
            "; using " + items[0] + " (choose another with --local)";
  return 0;
}

void CliFrontend::answer_address(const DialogSnapshot& s) {
  const ControlSnapshot* combo = control_of(s, IDC_LOCAL_ADDRESS);
  std::vector<std::string> items = combo ? combo->items : std::vector<std::string>{};
  int index = 0;
  if (!options_.local.empty()) {
    auto it = std::find(items.begin(), items.end(), options_.local);
    if (it == items.end()) {
      std::string list;
      for (const std::string& item : items) list += (list.empty() ? "" : ", ") + item;
      give_up(
          s.dialog, EXIT_USAGE,
          "--local " + options_.local + " is not an address of this PC" +
              (list.empty() ? std::string(" (it has none)") : " (its addresses: " + list + ")"));
      return;
    }
    index = static_cast<int>(it - items.begin());
  } else {
    std::string note;
    index = choose_local_address(items, &note);
    if (!note.empty()) progress_->print(note);
  }
  frontend::DialogInput input;
  input.texts = {{IDC_DEVICE_ADDRESS, options_.address}};
  if (!items.empty()) input.selections = {{IDC_LOCAL_ADDRESS, index}};
  frontend::submit_dialog(s.dialog, input, IDOK);
}

void CliFrontend::answer_password(const DialogSnapshot& s) {
  int opening;
  {
    std::lock_guard lock(lock_);
    opening = ++password_openings_;
  }
  std::string who = options_.user + "@" + options_.address;
  progress_->update("password", s.caption, -1);
  std::string password;
  if (have_password_) {
    // A password dialog after the password was given means the device refused it.
    if (opening > 1) {
      give_up(s.dialog, EXIT_FAILED,
              "QEL@" + options_.address + " refused the password for " + options_.user + " from " +
                  options_.password_file);
      return;
    }
    password = password_;
  } else if (!interactive_) {
    give_up(s.dialog, EXIT_FAILED,
            "QEL@" + options_.address + " asks for a password: give it with --password-file FILE");
    return;
  } else {
    if (opening > INTERACTIVE_PASSWORD_TRIES) {
      give_up(s.dialog, EXIT_FAILED, "QEL@" + options_.address + " refused the password");
      return;
    }
    progress_->clear();
    if (opening == 1)
      progress_->print(plain_text(text_of(s, IDC_PASSWORD_EXPLANATION)) + "\n");
    else
      progress_->print("The password was not accepted.");
    std::fprintf(stderr, "Password for %s: ", who.c_str());
    std::fflush(stderr);
    if (!read_line_cancellable(STDIN_FILENO, &password, false)) {
      std::fputc('\n', stderr);
      {
        std::lock_guard lock(lock_);
        user_aborted_ = true;
      }
      dialog_post_command(s.dialog, IDCANCEL);
      return;
    }
  }
  frontend::DialogInput input;
  input.texts = {{IDC_USER_NAME, options_.user}, {IDC_PASSWORD, password}};
  frontend::submit_dialog(s.dialog, input, IDOK);
}

void CliFrontend::answer_confirm(const DialogSnapshot& s) {
  // The labels are the template's static texts, in the order of the fields.
  std::vector<std::string> labels;
  for (const ControlSnapshot& c : s.controls)
    if (c.id == CONTROL_ID_NONE && c.kind == ControlKind::StaticText) labels.push_back(c.text);
  // Without a terminal the step line already carries the caption.
  std::string block = progress_->terminal() ? s.caption + "\n" : std::string();
  block += plain_text(text_of(s, IDC_CONFIRM_TEXT)) + "\n";
  std::size_t width = 0;
  for (const std::string& label : labels) width = std::max(width, label.size());
  // The fields in the order their labels stand in the template.
  const int fields[] = {IDC_SERIAL_NUMBER, IDC_MAC_ADDRESS, IDC_SOFTWARE_VERSION,
                        IDC_HARDWARE_VERSION, IDC_PRODUCT_NAME};
  for (std::size_t i = 0; i < labels.size() && i < std::size(fields); ++i) {
    std::string value = text_of(s, fields[i]);
    block +=
        "  " + labels[i] + std::string(width - labels[i].size() + 2, ' ') + one_line(value) + "\n";
  }
  bool dry_run = options_.dry_run;
  std::string warning, target;
  {
    std::lock_guard lock(lock_);
    confirm_template_ = s.template_id;
    product_ = text_of(s, IDC_PRODUCT_NAME);
    version_before_ = text_of(s, IDC_SOFTWARE_VERSION);
    if (starts_with(s.caption, CONFIRM_CAPTION_PREFIX))
      version_target_ = s.caption.substr(sizeof CONFIRM_CAPTION_PREFIX - 1);
    warning = warning_text_;
    target = version_target_;
    if (dry_run) {
      dry_run_done_ = true;
      own_cancel_ = true;
    }
  }
  progress_->update("confirm", s.caption, -1);
  progress_->print(block);
  if (dry_run) {
    dialog_post_command(s.dialog, IDCANCEL);  // before any upgrade request
    return;
  }
  bool accepted = options_.yes;
  if (!accepted) {
    progress_->clear();
    if (!warning.empty()) std::fprintf(stderr, "%s\n\n", plain_text(warning).c_str());
    std::fprintf(stderr, "Upgrade QEL@%s to %s? [y/N] ", options_.address.c_str(), target.c_str());
    std::fflush(stderr);
    std::string answer;
    bool got = read_line_cancellable(STDIN_FILENO, &answer);
    if (!got || !interactive_) std::fputc('\n', stderr);  // nothing echoed the line end
    accepted = got && (answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes");
  }
  {
    std::lock_guard lock(lock_);
    if (accepted)
      confirmed_ = true;
    else
      user_aborted_ = true;
  }
  dialog_post_command(s.dialog, accepted ? IDOK : IDCANCEL);
}

void CliFrontend::answer_success(const DialogSnapshot& s) {
  std::string version = text_of(s, IDC_NEW_VERSION);
  {
    std::lock_guard lock(lock_);
    success_seen_ = true;
    version_after_ = version;
  }
  progress_->update("done", s.caption, -1);
  progress_->print((progress_->terminal() ? s.caption + "\n" : std::string()) +
                   plain_text(text_of(s, IDC_SUCCESS_TEXT)) + "\n  " + one_line(version));
  dialog_post_command(s.dialog, IDOK);
}

void CliFrontend::give_up(DialogHandle dialog, int code, const std::string& why) {
  {
    std::lock_guard lock(lock_);
    own_cancel_ = true;
    if (own_code_ < 0) {
      own_code_ = code;
      own_message_ = why;
    }
  }
  progress_->print("qel-upgrade upgrade: " + why);
  dialog_post_command(dialog, IDCANCEL);
}

std::string CliFrontend::upload_state(const Shown& shown) const {
  return starts_with(shown.caption, REFLASH_CAPTION_PREFIX) ? "reflash" : "upload";
}

void CliFrontend::caption_changed(DialogHandle dialog, const std::string& text) {
  std::lock_guard lock(lock_);
  auto it = shown_.find(dialog);
  if (it == shown_.end()) return;
  it->second.caption = text;
  // The upload dialog retitles itself for every block; the position that
  // follows reports it with its percentage.
  if (it->second.template_id == IDD_UPLOAD && starts_with(text, REFLASH_CAPTION_PREFIX))
    progress_->update("reflash", text, 0);
}

void CliFrontend::progress_range_changed(DialogHandle dialog, int control, int low, int high) {
  if (control != IDC_PROGRESS) return;
  std::lock_guard lock(lock_);
  auto it = shown_.find(dialog);
  if (it == shown_.end()) return;
  it->second.low = low;
  it->second.high = high;
}

void CliFrontend::progress_position_changed(DialogHandle dialog, int control, int position) {
  if (control != IDC_PROGRESS) return;
  std::lock_guard lock(lock_);
  auto it = shown_.find(dialog);
  if (it == shown_.end() || it->second.template_id != IDD_UPLOAD) return;
  const Shown& shown = it->second;
  int span = shown.high - shown.low;
  int percent = span > 0 ? static_cast<int>((position - shown.low) * 100LL / span) : 0;
  progress_->update(upload_state(shown), shown.caption, std::clamp(percent, 0, 100));
}

void CliFrontend::dialog_closed(DialogHandle dialog, int, bool) {
  std::lock_guard lock(lock_);
  shown_.erase(dialog);
}

void CliFrontend::message_box(DialogHandle owner, const std::string& text, const std::string&) {
  bool show;
  int owner_template = 0;
  {
    std::lock_guard lock(lock_);
    auto it = owner ? shown_.find(owner) : shown_.end();
    if (it != shown_.end()) owner_template = it->second.template_id;
    show = !(own_cancel_ && text == USER_ABORT);
    if (show) last_message_ = text;
  }
  if (show) progress_->print(plain_text(text));
  // A box over the address dialog refused the entry, which stays open: the
  // command line cannot type another, so the run ends there.
  if (owner_template == IDD_ADDRESS_ADAPTER || owner_template == IDD_ADDRESS_PHONE) {
    {
      std::lock_guard lock(lock_);
      if (own_code_ < 0) {
        own_code_ = text == INVALID_ADDRESS ? EXIT_USAGE : EXIT_FAILED;
        own_message_ = text;
      }
    }
    dialog_post_command(owner, IDCANCEL);
  }
}

bool CliFrontend::interrupt() {
  std::vector<DialogHandle> open;
  {
    std::lock_guard lock(lock_);
    user_aborted_ = true;
    for (const auto& entry : shown_) open.push_back(entry.first);
  }
  cancel_reads();
  bool taken = false;
  for (DialogHandle dialog : open) taken = dialog_post_command(dialog, IDCANCEL) || taken;
  return taken;
}

Outcome CliFrontend::outcome() {
  std::lock_guard lock(lock_);
  Outcome o;
  o.product = product_;
  o.version_before = version_before_;
  o.version_target = version_target_;
  o.stages = confirm_template_ == IDD_CONFIRM_TARGET       ? 1
             : confirm_template_ == IDD_CONFIRM_TRANSITION ? 2
                                                           : 0;
  o.message = last_message_;
  if (own_code_ >= 0) {
    o.code = own_code_;
    o.result = "failed";
    o.message = own_message_;
  } else if (success_seen_) {
    o.code = EXIT_UPGRADED;
    o.result = "upgraded";
    o.version_after = version_after_;
    o.message = "QEL@" + options_.address + " Upgrade Successful!";
  } else if (dry_run_done_) {
    o.code = EXIT_UPGRADED;
    o.result = "dry-run";
    o.message = product_ + " on " + version_before_ + ": the upgrade would install " +
                version_target_ + (o.stages == 2 ? " in two stages" : " in one stage") +
                "; no upgrade request was sent";
  } else if (user_aborted_ || last_message_ == USER_ABORT) {
    o.code = EXIT_ABORTED;
    o.result = "aborted";
  } else if (last_message_ == NO_RESPONSE && !confirmed_) {
    o.code = EXIT_UNREACHABLE;
    o.result = "unreachable";
  } else {
    o.code = EXIT_FAILED;
    o.result = "failed";
    if (last_message_ == VERSION_NOT_MATCHING) {
      // What the device reported instead: the verification just read it.
      DeviceInfo info;
      device_info_snapshot(&info);
      o.version_after = info.software_version;
    }
  }
  return o;
}

// Everything the exit hook needs; set once before the wizard starts.
CliFrontend* frontend = nullptr;
Progress* progress = nullptr;
UpgradeOptions run_options;
Clock::time_point started;

nlohmann::ordered_json text_or_null(const std::string& text) {
  if (text.empty()) return nullptr;
  return latin1_to_utf8(text);
}

void report(const Outcome& o) {
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  seconds = std::round(seconds * 10) / 10;
  if (run_options.json) {
    nlohmann::ordered_json line;
    line["address"] = run_options.address;
    line["result"] = o.result;
    line["message"] = latin1_to_utf8(plain_text(o.message));
    line["version_before"] = text_or_null(o.version_before);
    line["version_after"] = text_or_null(o.version_after);
    line["stages"] = o.stages ? nlohmann::ordered_json(o.stages) : nlohmann::ordered_json(nullptr);
    line["seconds"] = seconds;
    line["product"] = text_or_null(o.product);
    line["version_target"] = text_or_null(o.version_target);
    std::printf("%s\n", line.dump().c_str());
    return;
  }
  const std::string& a = run_options.address;
  std::string first_line = plain_text(o.message).substr(0, plain_text(o.message).find('\n'));
  if (o.result == "upgraded")
    std::printf("%s: upgraded from %s to %s in %.1f s\n", a.c_str(),
                one_line(o.version_before).c_str(), one_line(o.version_after).c_str(), seconds);
  else if (o.result == "dry-run")
    std::printf("%s: %s\n", a.c_str(), o.message.c_str());
  else
    std::printf("%s: %s%s%s\n", a.c_str(), o.result.c_str(), first_line.empty() ? "" : ": ",
                first_line.c_str());
}

// Called by process_exit on whichever thread ends the run.
void finish(int) {
  static std::atomic<bool> finishing{false};
  if (finishing.exchange(true)) {
    for (;;) ::pause();  // the first caller ends the process
  }
  Outcome o = frontend->outcome();
  restore_terminal();
  progress->clear();
  report(o);
  std::fflush(nullptr);
  ::_exit(o.code);
}

// Takes Ctrl-C (and the end of the session or a polite kill) for the whole
// process: the first one cancels whatever dialog is open, as Cancel would;
// a second one, or no dialog taking it in time, ends the run at once.
void signal_thread(sigset_t signals) {
  int received = 0;
  bool pending = false;
  Clock::time_point give_up_at{};
  for (;;) {
    timespec step{0, 20L * 1000 * 1000};
    int signal = ::sigtimedwait(&signals, nullptr, pending ? &step : nullptr);
    if (signal > 0) {
      if (++received > 1) process_exit(0);
      pending = !frontend->interrupt();
      give_up_at = Clock::now() + CANCEL_GRACE;
      continue;
    }
    if (!pending) continue;
    pending = !frontend->interrupt();
    if (pending && Clock::now() > give_up_at) process_exit(0);
  }
}

}  // namespace

int run_upgrade(const UpgradeOptions& options) {
  started = Clock::now();
  std::string password;
  bool have_password = false;
  if (!options.password_file.empty()) {
    if (!read_first_line(options.password_file, &password)) {
      std::fprintf(stderr, "qel-upgrade upgrade: cannot read the password file %s\n",
                   options.password_file.c_str());
      return EXIT_USAGE;
    }
    have_password = true;
  }
  std::uint32_t ignored;
  if (!options.local.empty() && !parse_dotted(options.local, &ignored)) {
    std::fprintf(stderr, "qel-upgrade upgrade: --local needs an IPv4 address, not %s\n",
                 options.local.c_str());
    return EXIT_USAGE;
  }
  // Every thread started from here on inherits the blocked signals, so only
  // the signal thread sees them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A reader that went away must not stop an upgrade half-way.
  std::signal(SIGPIPE, SIG_IGN);

  run_options = options;
  progress = new Progress(::isatty(STDERR_FILENO) != 0);
  frontend = new CliFrontend(options, progress, std::move(password), have_password,
                             ::isatty(STDIN_FILENO) != 0);
  frontend_install(frontend);
  process_set_exit_hook(finish);
  std::thread(signal_thread, signals).detach();
  process_exit(wizard_main(nullptr));
}

}  // namespace admin

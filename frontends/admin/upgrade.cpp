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
#include <sys/prctl.h>
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
#include "firmware/firmware.h"
#include "frontends/admin/outcome.h"
#include "frontends/admin/progress.h"
#include "frontends/admin/util.h"
#include "frontends/common/dialog.h"
#include "frontends/common/text.h"
#include "http/http.h"
#include "http/query.h"
#include "platform/clock.h"
#include "platform/posix/frontend.h"
#include "platform/posix/host_preference.h"
#include "platform/process.h"
#include "resources/ids.h"
#include "ui/ui.h"

namespace admin {

namespace {

using Clock = std::chrono::steady_clock;
using frontend::plain_text;

// The wizard's texts this front-end recognises (outcome.h has the others).
const char INVALID_ADDRESS[] = "Invalid IP Address";
const char REFLASH_CAPTION_PREFIX[] = "Updating ";
const char UPLOAD_CAPTION_PREFIX[] = "Uploading ";

constexpr int INTERACTIVE_PASSWORD_TRIES = 3;
// After Ctrl-C, how long to wait for a dialog to take the Cancel before the
// run is ended without it.
constexpr auto CANCEL_GRACE = std::chrono::seconds(5);
// The wizard waits as long as a person lets it: for a device that accepts a
// connection and never answers, or never asks for the image. Nobody watches
// the command line, so it gives up when nothing has happened for this long
// (the wizard's clock, like its own waits: a connect gives up after 21 s, a
// silent transfer after 47 s).
constexpr std::uint32_t STALL_LIMIT_MS = 120000;

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

class CliFrontend : public DialogFrontend {
 public:
  CliFrontend(const UpgradeOptions& options, Progress* progress, std::string password,
              bool have_password, bool interactive, std::uint32_t local_address)
      : options_(options),
        progress_(progress),
        password_(std::move(password)),
        have_password_(have_password),
        interactive_(interactive),
        local_address_(local_address),
        last_step_ms_(clock_ms()) {}

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
  // Ends the run when nothing has happened for STALL_LIMIT_MS; true once it did.
  bool end_if_stalled();
  RunFacts facts();

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
  // Something happened: the stall limit counts from now.
  void stepped_locked() { last_step_ms_ = clock_ms(); }
  // Runs a prompt's read; no stall counts while a person is asked.
  template <typename Read>
  bool asking(Read read) {
    {
      std::lock_guard lock(lock_);
      asking_person_ = true;
    }
    bool got = read();
    std::lock_guard lock(lock_);
    asking_person_ = false;
    stepped_locked();
    return got;
  }
  std::string upload_state(const Shown& shown) const;

  const UpgradeOptions options_;
  Progress* const progress_;
  std::string password_;  // wiped once handed to the wizard
  const bool have_password_;
  const bool interactive_;
  const std::uint32_t local_address_;  // host order; 0: the wizard's first

  std::mutex lock_;
  std::map<DialogHandle, Shown> shown_;  // open dialogs only
  std::string warning_text_;
  bool confirmed_ = false;
  int confirm_template_ = 0;
  std::string product_, version_before_, version_after_;
  std::string target_;  // the Target image's version, known once start-up loaded it
  bool transfer_seen_ = false;
  bool delivered_ = false;
  int pending_percent_ = -1;  // of the upload, shown with the caption that follows
  bool success_seen_ = false;
  bool dry_run_done_ = false;
  bool current_ = false;
  bool asking_person_ = false;  // a prompt waits for someone: no stall counts
  std::uint32_t last_step_ms_;
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
    stepped_locked();
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
      delivered_ = false;
      pending_percent_ = -1;
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

void CliFrontend::answer_address(const DialogSnapshot& s) {
  const ControlSnapshot* combo = control_of(s, IDC_LOCAL_ADDRESS);
  std::vector<std::string> items = combo ? combo->items : std::vector<std::string>{};
  // Start-up offers the chosen address first (host_prefer_address).
  auto chosen = std::find(items.begin(), items.end(), dotted(local_address_));
  int index =
      local_address_ != 0 && chosen != items.end() ? static_cast<int>(chosen - items.begin()) : 0;
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
    password.reserve(password_.capacity());
    password.assign(password_);
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
    std::fprintf(stderr, "Password for %s: ", shown_utf8(who).c_str());
    std::fflush(stderr);
    make_undumpable();
    password.reserve(256);  // typed characters never reallocate it
    bool got = asking([&] { return read_line_cancellable(STDIN_FILENO, &password, false); });
    if (!got || password.size() > CREDENTIAL_LIMIT) {
      if (got) {
        progress_->print("The password is longer than " + std::to_string(CREDENTIAL_LIMIT) +
                         " characters, more than the device's password field holds.");
      } else {
        std::fputc('\n', stderr);
      }
      wipe(&password);
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
  wipe(&password);
  wipe(&input.texts[1].second);
  wipe(&password_);  // a second request for it means it was refused
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
    block += "  " + labels[i] + std::string(width - labels[i].size() + 2, ' ') + shown_text(value) +
             "\n";
  }
  std::string version = text_of(s, IDC_SOFTWARE_VERSION);
  std::string target = image_version(&target_image);
  // Already there: nothing to send, unless asked to anyway.
  bool current = version == target && !options_.force;
  bool stop_here = options_.dry_run || current;
  std::string warning;
  {
    std::lock_guard lock(lock_);
    target_ = target;
    confirm_template_ = s.template_id;
    product_ = text_of(s, IDC_PRODUCT_NAME);
    version_before_ = version;
    warning = warning_text_;
    current_ = current;
    dry_run_done_ = options_.dry_run && !current;
    if (stop_here) own_cancel_ = true;
  }
  progress_->update("confirm", s.caption, -1);
  progress_->print(block);
  if (stop_here) {
    dialog_post_command(s.dialog, IDCANCEL);  // before any upgrade request
    return;
  }
  bool accepted = options_.yes;
  if (!accepted) {
    progress_->clear();
    if (!warning.empty()) std::fprintf(stderr, "%s\n\n", plain_text(warning).c_str());
    std::fprintf(stderr, "Upgrade QEL@%s to %s? [y/N] ", shown_utf8(options_.address).c_str(),
                 target.c_str());
    std::fflush(stderr);
    std::string answer;
    bool got = asking([&] { return read_line_cancellable(STDIN_FILENO, &answer); });
    if (!got || !interactive_) std::fputc('\n', stderr);  // nothing echoed the line end
    accepted = got && (answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes");
  } else if (!warning.empty()) {
    // Unattended: the warning's gist, not its seventeen lines.
    progress_->print(
        "WARNING: upgrading without your service provider's approval may interrupt service "
        "(--yes accepted the wizard's warning; run without it to read the whole text)");
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
                   plain_text(text_of(s, IDC_SUCCESS_TEXT)) + "\n  " + shown_text(version));
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
  progress_->print("qel-upgrade upgrade: " + shown_text(why));
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
  if (it->second.template_id != IDD_UPLOAD) return;
  stepped_locked();
  if (starts_with(text, REFLASH_CAPTION_PREFIX)) {
    progress_->update("reflash", text, 0);
    return;
  }
  // "Uploading ... ACKED/SIZE Bytes", set after the block's position: the
  // step is reported with its own byte count, the last one included.
  unsigned long acked = 0, size = 0;
  std::size_t bytes = text.rfind(' ', text.size() > 6 ? text.size() - 7 : 0);
  if (starts_with(text, UPLOAD_CAPTION_PREFIX) && bytes != std::string::npos &&
      std::sscanf(text.c_str() + bytes, " %lu/%lu Bytes", &acked, &size) == 2)
    delivered_ = size > 0 && acked == size;
  // The last count is always shown: it says that every byte arrived.
  if (pending_percent_ >= 0 || delivered_)
    progress_->update("upload", text, pending_percent_ >= 0 ? pending_percent_ : 100, delivered_);
  pending_percent_ = -1;
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
  int percent =
      std::clamp(span > 0 ? static_cast<int>((position - shown.low) * 100LL / span) : 0, 0, 100);
  stepped_locked();
  if (upload_state(shown) == "upload")
    pending_percent_ = percent;  // the caption with the byte count follows
  else
    progress_->update(upload_state(shown), shown.caption, percent);
}

void CliFrontend::dialog_closed(DialogHandle dialog, int, bool) {
  std::lock_guard lock(lock_);
  stepped_locked();
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

bool CliFrontend::end_if_stalled() {
  std::vector<DialogHandle> open;
  {
    std::lock_guard lock(lock_);
    if (asking_person_ || own_code_ >= 0 || clock_ms() - last_step_ms_ < STALL_LIMIT_MS)
      return own_code_ >= 0;
    bool waiting = false, connecting = false;
    for (const auto& [dialog, shown] : shown_) {
      open.push_back(dialog);
      waiting = waiting || shown.template_id == IDD_WAITING;
      connecting = connecting || shown.template_id == IDD_CONNECTING;
    }
    std::string device = "QEL@" + options_.address;
    std::string limit = std::to_string(STALL_LIMIT_MS / 1000) + " s";
    own_cancel_ = true;
    if (delivered_) {
      own_code_ = EXIT_UNVERIFIED;
      own_message_ = device + " took the image but did not answer for " + limit +
                     " afterwards; its version was not checked";
    } else if (waiting) {
      own_code_ = EXIT_FAILED;
      own_message_ = device + " did not ask for the firmware within " + limit;
    } else if (connecting && !confirmed_) {
      own_code_ = EXIT_UNREACHABLE;
      own_message_ = device + " did not answer within " + limit;
    } else {
      own_code_ = EXIT_FAILED;
      own_message_ = "nothing happened for " + limit + " (" + device + ")";
    }
    progress_->print("qel-upgrade upgrade: " + shown_text(own_message_));
  }
  for (DialogHandle dialog : open) dialog_post_command(dialog, IDCANCEL);
  return true;
}

RunFacts CliFrontend::facts() {
  std::lock_guard lock(lock_);
  RunFacts f;
  f.address = options_.address;
  f.product = product_;
  f.version_before = version_before_;
  f.version_target = target_;
  f.stages = confirm_template_ == IDD_CONFIRM_TARGET       ? 1
             : confirm_template_ == IDD_CONFIRM_TRANSITION ? 2
                                                           : 0;
  f.current = current_;
  f.dry_run_done = dry_run_done_;
  f.confirmed = confirmed_;
  f.image_delivered = delivered_;
  f.success_seen = success_seen_;
  f.version_reported = version_after_;
  if (!success_seen_ && transfer_seen_) {
    // The verification's reading, if it got one (a version mismatch).
    DeviceInfo info;
    device_info_snapshot(&info);
    f.version_reported = info.software_version;
  }
  f.user_aborted = user_aborted_;
  f.last_message = last_message_;
  f.own_code = own_code_;
  f.own_message = own_message_;
  return f;
}

// Everything the exit hook needs; set once before the wizard starts.
CliFrontend* frontend = nullptr;
Progress* progress = nullptr;
UpgradeOptions run_options;
Clock::time_point started;

void report(const RunFacts& facts, const Outcome& o) {
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::string line =
      run_options.json ? outcome_json(facts, o, seconds) : outcome_line(facts, o, seconds);
  std::printf("%s\n", line.c_str());
}

// Called by process_exit on whichever thread ends the run.
void finish(int) {
  static std::atomic<bool> finishing{false};
  if (finishing.exchange(true)) {
    for (;;) ::pause();  // the first caller ends the process
  }
  RunFacts facts = frontend->facts();
  Outcome o = decide_outcome(facts);
  restore_terminal();
  progress->clear();
  report(facts, o);
  std::fflush(nullptr);
  ::_exit(o.code);
}

// Takes Ctrl-C (and the end of the session or a polite kill) for the whole
// process: the first one cancels whatever dialog is open, as Cancel would;
// a second one, or no dialog taking it in time, ends the run at once.
void signal_thread(sigset_t signals) {
  int received = 0;
  bool pending = false;  // a Cancel waits for a dialog to take it
  Clock::time_point give_up_at = Clock::time_point::max();
  for (;;) {
    timespec step{0, (pending ? 20L : 250L) * 1000 * 1000};
    int signal = ::sigtimedwait(&signals, nullptr, &step);
    if (signal > 0) {
      if (++received > 1) process_exit(0);
      pending = !frontend->interrupt();
      give_up_at = Clock::now() + CANCEL_GRACE;
      continue;
    }
    if (pending) pending = !frontend->interrupt();
    // A stalled run is ended like a Cancel, with the same grace.
    if (give_up_at == Clock::time_point::max() && frontend->end_if_stalled())
      give_up_at = Clock::now() + CANCEL_GRACE;
    if (Clock::now() > give_up_at) process_exit(0);
  }
}

}  // namespace

namespace {

// This PC's address toward the device, from all of its interfaces: --local
// if given (it must be one of them), else the one on the device's subnet;
// 0 when there is none (the wizard then offers its first). False after a
// usage error, which it printed.
bool choose_local_address(const UpgradeOptions& options, std::uint32_t* local) {
  std::vector<Subnet> subnets = interface_subnets();
  *local = 0;
  if (!options.local.empty()) {
    if (!parse_dotted(options.local, local)) {
      std::fprintf(stderr, "qel-upgrade upgrade: --local needs an IPv4 address, not %s\n",
                   shown_utf8(options.local).c_str());
      return false;
    }
    std::string list;
    for (const Subnet& s : subnets) {
      if (s.address == *local) return true;
      list += (list.empty() ? "" : ", ") + dotted(s.address);
    }
    std::fprintf(stderr, "qel-upgrade upgrade: --local %s is not an address of this PC (%s)\n",
                 options.local.c_str(),
                 list.empty() ? "it has none" : ("its addresses: " + list).c_str());
    return false;
  }
  std::uint32_t device = 0;
  if (parse_ip_address(options.address.c_str(), &device) != 0 || device == 0)
    return true;  // the wizard's address check says what is wrong
  for (const Subnet& s : subnets)
    if (s.holds(device)) {
      *local = s.address;
      return true;
    }
  std::fprintf(stderr,
               "qel-upgrade upgrade: no address of this PC is on the subnet of %s: the device may "
               "not reach the one used (choose another with --local)\n",
               options.address.c_str());
  return true;
}

}  // namespace

int run_upgrade(const UpgradeOptions& options) {
  started = Clock::now();
  if (options.exit_with_parent) {
    // The fleet that started this run may die without a word: then end too,
    // as at Ctrl-C. Set again here because running a program with file
    // capabilities clears it.
    pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) return EXIT_ABORTED;
  }
  if (!printable_ascii(options.address) || options.address.size() > 63) {
    std::fprintf(stderr, "qel-upgrade upgrade: not an IPv4 address: %s\n",
                 shown_utf8(options.address).c_str());
    return EXIT_USAGE;
  }
  if (!printable_ascii(options.user) || options.user.size() > CREDENTIAL_LIMIT) {
    std::fprintf(stderr,
                 "qel-upgrade upgrade: --user takes a name of 1 to %zu printable ASCII "
                 "characters\n",
                 CREDENTIAL_LIMIT);
    return EXIT_USAGE;
  }
  std::string password;
  bool have_password = false;
  if (!options.password_file.empty()) {
    make_undumpable();
    std::string error;
    if (!read_password_file(options.password_file, &password, &error)) {
      std::fprintf(stderr, "qel-upgrade upgrade: %s\n", shown_utf8(error).c_str());
      return EXIT_USAGE;
    }
    have_password = true;
  }
  std::uint32_t local = 0;
  if (!choose_local_address(options, &local)) return EXIT_USAGE;
  host_prefer_address(local);

  // Before the device is contacted: without a port to serve from, the
  // upgrade cannot happen, and a dry run would promise what cannot be done.
  if (tftp_ports_refused(local)) {
    std::fprintf(stderr, "qel-upgrade upgrade: %s\n", tftp_refusal_message().c_str());
    RunFacts facts;
    facts.address = options.address;
    facts.version_target = image_version(&target_image);
    Outcome o{EXIT_NO_PORT, "failed", "Upgrade Failed: Can't bind TFTP listener socket", ""};
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (options.json) std::printf("%s\n", outcome_json(facts, o, seconds).c_str());
    return EXIT_NO_PORT;
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
                             ::isatty(STDIN_FILENO) != 0, local);
  frontend_install(frontend);
  process_set_exit_hook(finish);
  std::thread(signal_thread, signals).detach();
  process_exit(wizard_main(nullptr));
}

}  // namespace admin

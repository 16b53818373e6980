#include "admin/upgrade/dialog_answers.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "admin/output.h"
#include "admin/record/result.h"
#include "admin/upgrade/password_file.h"
#include "firmware/firmware.h"
#include "frontends/common/dialog.h"
#include "frontends/common/dotted.h"
#include "frontends/common/text.h"
#include "http/query.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/secret.h"
#include "resources/ids.h"
#include "session/session.h"
#include "tftp/tftp.h"
#include "ui/ui.h"

namespace admin {

namespace {

using frontend::plain_text;

constexpr int INTERACTIVE_PASSWORD_TRIES = 3;

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

}  // namespace

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
  // Start-up offers the chosen address first (platform_set_options).
  auto chosen = std::find(items.begin(), items.end(), frontend::dotted(local_address_));
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
  // The dialog's caption asks a person at the dialog; the step says what
  // the command line does.
  progress_->update("password",
                    have_password_ ? "QEL@" + options_.address + " asks for a password: sending " +
                                         options_.user + "'s from " +
                                         frontend::shown_utf8(options_.password_file)
                                   : "QEL@" + options_.address + " asks for a password",
                    -1);
  std::string password;
  if (have_password_) {
    // A password dialog after the password was given means the device refused it.
    if (opening > 1) {
      give_up(s.dialog, EXIT_FAILED, Code::PASSWORD_REFUSED,
              "QEL@" + options_.address + " refused the password for " + options_.user + " from " +
                  options_.password_file);
      return;
    }
    password.reserve(password_.capacity());
    password.assign(password_);
  } else if (!interactive_) {
    give_up(s.dialog, EXIT_FAILED, Code::PASSWORD_NEEDED,
            "QEL@" + options_.address + " asks for a password: give it with --password-file FILE");
    return;
  } else {
    if (opening > INTERACTIVE_PASSWORD_TRIES) {
      give_up(s.dialog, EXIT_FAILED, Code::PASSWORD_REFUSED,
              "QEL@" + options_.address + " refused the password");
      return;
    }
    progress_->clear();
    if (opening == 1)
      progress_->print(plain_text(text_of(s, IDC_PASSWORD_EXPLANATION)) + "\n");
    else
      progress_->print("The password was not accepted.");
    print_err("Password for %s: ", frontend::shown_utf8(who).c_str());
    sys::make_undumpable();
    password.reserve(256);  // typed characters never reallocate it
    bool got = asking([&] { return sys::read_line_cancellable(&password, false); });
    if (!got || password.size() > CREDENTIAL_LIMIT) {
      if (got) {
        progress_->print("The password is longer than " + std::to_string(CREDENTIAL_LIMIT) +
                         " characters, more than the device's password field holds.");
      } else {
        sys::write_text(sys::Stream::Error, "\n");
      }
      sys::wipe(&password);
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
  sys::wipe(&password);
  sys::wipe(&input.texts[1].second);
  sys::wipe(&password_);  // a second request for it means it was refused
}

void CliFrontend::answer_confirm(const DialogSnapshot& s) {
  // The labels are the template's static texts, in the order of the fields.
  std::vector<std::string> labels;
  for (const ControlSnapshot& c : s.controls)
    if (c.id == CONTROL_ID_NONE && c.kind == ControlKind::StaticText) labels.push_back(c.text);
  // Without a terminal the step line already carries the caption. The
  // dialog's text names its buttons: the command line says what it read,
  // and keeps the note on a two-stage upgrade.
  std::string block = progress_->terminal() ? s.caption + "\n" : std::string();
  block += "QEL@" + frontend::shown_utf8(options_.address) + " reports:\n";
  std::size_t width = 0;
  for (const std::string& label : labels) width = std::max(width, label.size());
  // The fields in the order their labels stand in the template.
  const int fields[] = {IDC_SERIAL_NUMBER, IDC_MAC_ADDRESS, IDC_SOFTWARE_VERSION,
                        IDC_HARDWARE_VERSION, IDC_PRODUCT_NAME};
  for (std::size_t i = 0; i < labels.size() && i < std::size(fields); ++i) {
    std::string value = text_of(s, fields[i]);
    block += "  " + labels[i] + std::string(width - labels[i].size() + 2, ' ') +
             frontend::shown_text(value) + "\n";
  }
  std::string explanation = plain_text(text_of(s, IDC_CONFIRM_TEXT));
  if (std::size_t note = explanation.find(TRANSITION_NOTE_PREFIX); note != std::string::npos)
    block += explanation.substr(note) + "\n";
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
    if (!warning.empty()) print_err("%s\n\n", plain_text(warning).c_str());
    print_err("Upgrade QEL@%s to %s? [y/N] ", frontend::shown_utf8(options_.address).c_str(),
              target.c_str());
    std::string answer;
    bool got = asking([&] { return sys::read_line_cancellable(&answer); });
    if (!got || !interactive_)
      sys::write_text(sys::Stream::Error, "\n");  // nothing echoed the line end
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
                   plain_text(text_of(s, IDC_SUCCESS_TEXT)) + "\n  " +
                   frontend::shown_text(version));
  dialog_post_command(s.dialog, IDOK);
}

void CliFrontend::give_up(DialogHandle dialog, int code, Code failure, const std::string& why) {
  {
    std::lock_guard lock(lock_);
    own_cancel_ = true;
    if (own_code_ < 0) {
      own_code_ = code;
      own_message_ = why;
      own_failure_ = failure;
    }
  }
  progress_->print("qel-upgrade upgrade: " + frontend::shown_text(why));
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
    show = !(own_cancel_ && last_failure() == FAILURE_USER_ABORT);
    if (show) last_message_ = text;
  }
  if (show) progress_->print(plain_text(text));
  // A box over the address dialog refused the entry, which stays open: the
  // command line cannot type another, so the run ends there.
  if (owner_template == IDD_ADDRESS_ADAPTER || owner_template == IDD_ADDRESS_PHONE) {
    {
      std::lock_guard lock(lock_);
      if (own_code_ < 0) {
        own_code_ = text == INVALID_ADDRESS_TEXT ? EXIT_USAGE : EXIT_FAILED;
        own_message_ = text;
        own_failure_ =
            text == INVALID_ADDRESS_TEXT ? Code::INVALID_ADDRESS : code_of_failure(last_failure());
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
  sys::cancel_reads();
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
    own_failure_ = Code::STALLED;
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
    progress_->print("qel-upgrade upgrade: " + frontend::shown_text(own_message_));
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
  f.failure = last_failure();
  f.own_code = own_code_;
  f.own_message = own_message_;
  f.own_failure = own_failure_;
  return f;
}

}  // namespace admin

// The answers of `qel-upgrade upgrade` to the wizard's dialogs: a front-end
// on the dialog layer that answers each template as a person with the
// command line's choices would, prints what the dialogs show, and records
// what the run came to (RunFacts). Its own bounds: it cancels a run in which
// nothing has happened for STALL_LIMIT_MS.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "admin/record/outcome.h"
#include "admin/upgrade/progress.h"
#include "admin/upgrade/upgrade.h"
#include "frontends/common/dialog.h"
#include "frontends/common/text.h"
#include "platform/clock.h"
#include "platform/portable/frontend.h"

namespace admin {

// The wizard waits as long as a person lets it: for a device that accepts a
// connection and never answers, or never asks for the image. Nobody watches
// the command line, so it gives up when nothing has happened for this long
// (the wizard's clock, like its own waits: a connect gives up after 21 s, a
// silent transfer after 47 s).
constexpr std::uint32_t STALL_LIMIT_MS = 120000;

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
  void give_up(DialogHandle dialog, int code, Code failure, const std::string& why);
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
  Code own_failure_ = Code::NONE;
  std::string last_message_;
  int password_openings_ = 0;
};

}  // namespace admin

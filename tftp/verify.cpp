// After a transfer: about 30 seconds for the device to write the image and
// restart, then a failed transfer is reported, or the device's information
// page is read again and its software version compared with the image's.
#include <cstdio>
#include <cstring>

#include "session/session.h"
#include "firmware/firmware.h"
#include "http/http.h"
#include "http/query.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "resources/ids.h"
#include "tftp/tftp.h"
#include "ui/failures.h"
#include "ui/ui.h"

const char REFLASH_CAPTION_PREFIX[] = "Updating ";

namespace {

// Ticks of 32 ms: 27 bits of the 32-bit millisecond clock.
constexpr std::uint32_t TICK_WRAP = std::uint32_t(1) << 27;
constexpr std::uint32_t TICK_MS = 32;

std::uint32_t clock_ticks() { return clock_ms() >> 5; }

void wait_for_restart(TftpSession* session) {
  DialogHandle& upload_dialog = session->upload_dialog;
  std::uint32_t start = clock_ticks();
  dialog_progress_range(upload_dialog, IDC_PROGRESS, 0, VERIFY_WAIT_TICKS);
  dialog_progress_pos(upload_dialog, IDC_PROGRESS, 0);
  char caption[128];
  std::snprintf(caption, sizeof caption, "%s%s Firmware to QEL@%s", REFLASH_CAPTION_PREFIX,
                wizard.upgrade_stage.load() != STAGE_TRANSITION ? "Target" : "Transition",
                wizard.device_address_text);
  dialog_set_caption(upload_dialog, caption);

  std::uint32_t shown = 0;
  for (;;) {
    std::uint32_t now = clock_ticks();
    if (now < start) now += TICK_WRAP;  // the tick count wrapped since the start
    if (now - start != shown) {
      shown = now - start;
      dialog_progress_pos(upload_dialog, IDC_PROGRESS, static_cast<int>(shown));
    }
    dialog_pump_all(upload_dialog);
    if (now >= start + VERIFY_WAIT_TICKS) break;
    sleep_ms(TICK_MS);
  }
  dialog_destroy(upload_dialog);
  upload_dialog = nullptr;
}

}  // namespace

int verify_upgrade(TftpSession* session, int transfer_failed) {
  wait_for_restart(session);
  if (transfer_failed) {
    show_failure(FAILURE_UPLOAD_INCOMPLETE);
    return VERIFY_UPLOAD_INCOMPLETE;
  }

  // The device may need a few tries before its web server is back.
  for (int attempt = 0; attempt < VERIFY_ATTEMPTS; ++attempt) {
    if (query_device(wizard.app_instance, session->server_address, HTTP_LOCAL_PORT,
                     session->peer_address, HTTP_DEVICE_PORT, DEVICE_PAGE_PATH, response_buffer,
                     RESPONSE_CAPACITY) <= 0)
      continue;
    std::uint32_t stage = wizard.upgrade_stage.load();
    const char* expected =
        image_version(stage != STAGE_TRANSITION ? &target_image : &transition_image);
    // Another thread's query may publish new values at any time: one copy.
    DeviceInfo info;
    device_info_snapshot(&info);
    trace("[%d]%s %s\n", static_cast<int>(stage), expected, info.software_version);
    if (phone_family == 0 && std::strcmp(expected, info.software_version) != 0) {
      show_failure(FAILURE_VERSION_NOT_MATCHING);
      return VERIFY_VERSION_MISMATCH;
    }
    if (stage == STAGE_TARGET) dialog_box(wizard.app_instance, IDD_SUCCESS, success_dialog_proc);
    return VERIFY_SUCCEEDED;
  }
  show_failure(FAILURE_NO_RESPONSE);
  return VERIFY_NO_RESPONSE;
}

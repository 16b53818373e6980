// The upgrade sequence on the main thread, from the warning dialog to the
// upgrade request; the listener thread takes over from there.
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "firmware/firmware.h"
#include "http/http.h"
#include "http/query.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "resources/ids.h"
#include "session/session.h"
#include "tftp/tftp.h"
#include "ui/failures.h"
#include "ui/ui.h"

namespace {

char upgrade_request_path[128];

int query_page(const char* path) {
  return query_device(wizard.app_instance, wizard.ServerAddress, HTTP_LOCAL_PORT,
                      wizard.DeviceAddress, HTTP_DEVICE_PORT, path, response_buffer,
                      RESPONSE_CAPACITY);
}

void send_upgrade_request(std::uint16_t tftp_port) {
  char name[128];
  get_request_file_name(name, sizeof name);
  std::uint32_t a = wizard.ServerAddress;
  // At most 55 characters: the names drawn here are short.
  int length = std::snprintf(upgrade_request_path, sizeof upgrade_request_path,
                             "/admin/upgrade?tftp://%u.%u.%u.%u:%u%s", a >> 24, (a >> 16) & 0xff,
                             (a >> 8) & 0xff, a & 0xff, static_cast<unsigned>(tftp_port), name);
  if (length >= static_cast<int>(sizeof upgrade_request_path)) trace("upgrade path cut\n");
  query_page(upgrade_request_path);  // whatever it answers, the device may still fetch
}

// Only in the Transition stage: a device already at or past the Transition
// version goes straight to the Target stage, unless its version says "(NT".
void version_gate() {
  if (wizard.upgrade_stage.load() != STAGE_TRANSITION) return;
  DeviceInfo info;
  device_info_snapshot(&info);
  if (std::strstr(info.software_version, "(NT")) return;
  if (version_number(info.software_version) >= version_number(image_version(&transition_image)))
    wizard.upgrade_stage.store(STAGE_TARGET);
}

[[noreturn]] void sleep_forever() {
  for (;;) sleep_ms(10);
}

// The run up to the upgrade request; returns when it ends before one.
int run_wizard(AppInstance instance) {
  if (!window_class_register(instance)) return 0;
  wizard.app_instance = instance;
  start_up();

  // A dialog that cannot be shown (-1) is no consent: it ends the run as Cancel does.
  if (dialog_box(wizard.app_instance, IDD_WARNING, warning_dialog_proc) <= 0) return 0;
  int address_template = phone_family ? IDD_ADDRESS_PHONE : IDD_ADDRESS_ADAPTER;
  if (dialog_box(wizard.app_instance, address_template, address_dialog_proc) <= 0) return 0;
  if (wizard.DeviceAddress == 0) return 0;

  if (query_page(DEVICE_PAGE_PATH) <= 0) {
    show_failure(FAILURE_NO_RESPONSE);
    return 0;
  }
  version_gate();

  bool target = wizard.upgrade_stage.load() == STAGE_TARGET;
  int confirm_template = target ? IDD_CONFIRM_TARGET : IDD_CONFIRM_TRANSITION;
  if (dialog_box(wizard.app_instance, confirm_template, confirm_dialog_proc) <= 0) {
    show_failure(FAILURE_USER_ABORT);
    return 0;
  }

  std::uint16_t tftp_port = start_tftp_listener(wizard.ServerAddress);
  send_upgrade_request(tftp_port);
  if (target) sleep_forever();

  while (wizard.upgrade_stage.load() == STAGE_TRANSITION) sleep_ms(10);
  draw_request_file_name(STAGE_TARGET);
  send_upgrade_request(tftp_port);
  sleep_forever();
}

}  // namespace

int wizard_main(AppInstance instance) {
  int code = run_wizard(instance);
  forget_run_secrets();
  return code;
}

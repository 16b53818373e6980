#include <cstring>

#include "app/app.h"
#include "firmware/firmware.h"
#include "http/digest.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "platform/net.h"
#include "platform/trace.h"
#include "ui/ui.h"

AppInstance app_instance = nullptr;
char host_name[128];
std::uint32_t LocalAddressList[8];
std::uint32_t ServerAddress = 0;

static void load_image_or_die(int number, FirmwareImage* image) {
  *image = load_firmware_image(number);
  if (!image->data) {
    show_error("Upgrade Failed: Firmware image missing or damaged");
    process_exit(0);
  }
}

void start_up() {
  if (net_startup() != 0) {
    show_error("Upgrade Failed: Winsock init error");
    process_exit(0);
  }

  host_get_name(host_name, 127);
  std::uint32_t found[8];
  int count = host_lookup_addresses(host_name, found, 8);
  std::memset(LocalAddressList, 0, sizeof LocalAddressList);
  for (int i = 0; i < count && i < 8; ++i) {
    LocalAddressList[i] = found[i];
    trace("Client IP = %x\n", static_cast<unsigned>(found[i]));
  }
  ServerAddress = LocalAddressList[0];

  std::memset(&digest_state, 0, sizeof digest_state);
  random_seed(clock_ms());
  common_controls_init();

  load_image_or_die(TARGET_IMAGE_RESOURCE, &target_image);
  if (upgrade_stage.load() == STAGE_TRANSITION)
    load_image_or_die(TRANSITION_IMAGE_RESOURCE, &transition_image);
  identify_model();
}

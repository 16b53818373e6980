#include <cstring>

#include "app/app.h"
#include "firmware/firmware.h"
#include "http/digest.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "platform/net.h"
#include "platform/trace.h"
#include "ui/failures.h"
#include "session/session.h"
#include "ui/ui.h"

// The address's four bytes in network order, read back as a native integer:
// what the resolver's host entry held.
static std::uint32_t host_to_network_order(std::uint32_t address) {
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(address >> 24), static_cast<unsigned char>(address >> 16),
      static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address)};
  std::uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

static void load_image_or_die(int number, FirmwareImage* image) {
  *image = load_firmware_image(number);
  if (!image->data) {
    show_failure(FAILURE_IMAGE_DAMAGED);
    end_run(0);
  }
}

void start_up() {
  if (net_startup() != 0) {
    show_failure(FAILURE_SOCKETS_START);
    end_run(0);
  }

  host_get_name(wizard.host_name, 127);
  std::uint32_t found[8];
  int count = host_own_addresses(wizard.host_name, found, 8);
  std::memset(wizard.LocalAddressList, 0, sizeof wizard.LocalAddressList);
  for (int i = 0; i < count && i < 8; ++i) {
    wizard.LocalAddressList[i] = found[i];
    // The trace point receives the address as it stood in network order.
    trace("Client IP = %x\n", static_cast<unsigned>(host_to_network_order(found[i])));
  }
  wizard.ServerAddress = wizard.LocalAddressList[0];

  std::memset(&digest_state, 0, sizeof digest_state);
  random_seed(clock_ms());
  common_controls_init();

  load_image_or_die(TARGET_IMAGE_RESOURCE, &target_image);
  if (wizard.upgrade_stage.load() == STAGE_TRANSITION)
    load_image_or_die(TRANSITION_IMAGE_RESOURCE, &transition_image);
  identify_model();
}

// qel-bench-serve: the wizard's own TFTP listener, started alone, for the
// transfer benchmark. It serves the embedded Target image under one name on
// 127.0.0.1 (port 69 or the next free one) behind the scripted front-end,
// exactly as the wizard would, and ends the process after one transfer.
//
//   qel-bench-serve NAME [TRANSCRIPT]   serve NAME (e.g. /qel1a2b.bi1);
//                                       prints "port N" once bound
//   qel-bench-serve --write-image FILE  write the embedded Target image
//
// After a transfer the listener would wait 30 seconds for the device to
// restart and then query it. Neither belongs to the transfer: as soon as the
// wait begins, the clock runs 1000 times faster, so the wait takes 30 ms and
// the unanswered queries (nothing listens on port 80) fail at once. The
// transfer itself always runs on the real clock.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "app/app.h"
#include "firmware/firmware.h"
#include "frontends/scripted/script.h"
#include "frontends/scripted/scripted_frontend.h"
#include "platform/posix/seams.h"
#include "platform/process.h"
#include "tftp/tftp.h"

namespace {

constexpr std::uint32_t LOOPBACK = 0x7f000001;
constexpr int WATCHDOG_SECONDS = 120;
constexpr int EXIT_WATCHDOG = 3;

class BenchFrontend : public scripted::ScriptedFrontend {
 public:
  using ScriptedFrontend::ScriptedFrontend;

  void caption_changed(DialogHandle dialog, const std::string& text) override {
    // "Updating ... Firmware to QEL@...": the transfer is over, the wait begins.
    if (text.rfind("Updating ", 0) == 0) seam_set_clock(1000.0, 0);
    ScriptedFrontend::caption_changed(dialog, text);
  }
};

BenchFrontend* frontend = nullptr;

void on_exit(int code) {
  if (frontend) frontend->record_exit(code);
}

int write_image(const char* path) {
  FirmwareImage image = load_firmware_image(TARGET_IMAGE_RESOURCE);
  std::FILE* out = std::fopen(path, "wb");
  if (!image.data || !out) {
    std::fprintf(stderr, "qel-bench-serve: cannot write %s\n", path);
    return 1;
  }
  bool written = std::fwrite(image.data, 1, image.size, out) == image.size;
  return std::fclose(out) == 0 && written ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-image") == 0) return write_image(argv[2]);
  if (argc < 2 || argc > 3 || argv[1][0] != '/') {
    std::fprintf(stderr,
                 "usage: qel-bench-serve NAME [TRANSCRIPT]\n"
                 "       qel-bench-serve --write-image FILE\n");
    return 2;
  }

  std::FILE* transcript = std::fopen(argc == 3 ? argv[2] : "/dev/null", "w");
  if (!transcript) {
    std::fprintf(stderr, "qel-bench-serve: cannot write the transcript\n");
    return 2;
  }
  scripted::Script script;
  std::string error;
  if (!scripted::parse_script("", ".", &script, &error)) return 2;
  frontend = new BenchFrontend(std::move(script), transcript, nullptr);
  frontend_install(frontend);
  process_set_exit_hook(on_exit);

  // What start-up and the address dialog would have left behind.
  target_image = load_firmware_image(TARGET_IMAGE_RESOURCE);
  if (!target_image.data) {
    std::fprintf(stderr, "qel-bench-serve: no embedded Target image\n");
    return 1;
  }
  start_in_stage(STAGE_TARGET);
  std::strcpy(wizard.device_address_text, "127.0.0.1");
  set_request_file_name(argv[1]);

  std::uint16_t port = start_tftp_listener(LOOPBACK);
  std::printf("port %u\n", static_cast<unsigned>(port));
  std::fflush(stdout);

  // The listener thread ends the process; this is only a safety net.
  std::this_thread::sleep_for(std::chrono::seconds(WATCHDOG_SECONDS));
  std::fprintf(stderr, "qel-bench-serve: no transfer within %d s\n", WATCHDOG_SECONDS);
  ::_exit(EXIT_WATCHDOG);
}

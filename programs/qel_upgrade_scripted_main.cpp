// qel-upgrade-scripted: runs the wizard with its dialogs answered by a
// script and every dialog event written to a transcript.
//
//   qel-upgrade-scripted --script FILE --transcript FILE [--echo]
//
// Exit code: the wizard's, 124 when the script's time limit ran out, 2 for
// a bad command line or script.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "frontends/scripted/script.h"
#include "frontends/scripted/scripted_frontend.h"
#include "platform/posix/seams.h"
#include "platform/process.h"

namespace {

constexpr int TIMEOUT_EXIT_CODE = 124;
constexpr int USAGE_EXIT_CODE = 2;

// Lives until the process ends; process_exit never returns to destroy it.
scripted::ScriptedFrontend* frontend = nullptr;

void on_exit(int code) {
  if (!frontend) return;
  frontend->record_exit(code);
  // Join the threads that run delayed answers, so that none is left behind
  // when the process ends (the thread sanitizer reports them as leaked).
  frontend->stop();
}

int usage(const char* why) {
  std::fprintf(stderr,
               "qel-upgrade-scripted: %s\n"
               "usage: qel-upgrade-scripted --script FILE --transcript FILE [--echo]\n",
               why);
  return USAGE_EXIT_CODE;
}

bool read_file(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream data;
  data << in.rdbuf();
  *out = data.str();
  return true;
}

std::string folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The environment the script describes, in place before the wizard starts.
bool set_up_environment(const scripted::Script& script, std::string* error) {
  if (script.host == scripted::HostAddresses::List)
    seam_set_host_addresses(script.addresses.data(), static_cast<int>(script.addresses.size()),
                            true);
  else if (script.host == scripted::HostAddresses::Unresolved)
    seam_set_host_addresses(nullptr, 0, false);

  // The images are read here, once, and kept for the life of the process:
  // the product only ever sees them as resources.
  static std::vector<std::string> images;
  images.reserve(script.images.size());
  for (const scripted::ImageFile& image : script.images) {
    if (image.path.empty()) {
      seam_set_resource(image.resource, "QEL_FIRMWARE", nullptr, 0);
      continue;
    }
    std::string bytes;
    if (!read_file(image.path, &bytes)) {
      *error = "cannot read image file " + image.path;
      return false;
    }
    images.push_back(std::move(bytes));
    const std::string& kept = images.back();
    seam_set_resource(image.resource, "QEL_FIRMWARE",
                      reinterpret_cast<const unsigned char*>(kept.data()),
                      static_cast<std::uint32_t>(kept.size()));
  }
  if (script.clock_set) seam_set_clock(script.clock_scale, script.clock_offset);
  if (script.stage_set) start_in_stage(script.transition_stage ? STAGE_TRANSITION : STAGE_TARGET);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string script_path, transcript_path;
  bool echo = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--script") == 0 && i + 1 < argc)
      script_path = argv[++i];
    else if (std::strcmp(argv[i], "--transcript") == 0 && i + 1 < argc)
      transcript_path = argv[++i];
    else if (std::strcmp(argv[i], "--echo") == 0)
      echo = true;
    else
      return usage((std::string("unexpected argument ") + argv[i]).c_str());
  }
  if (script_path.empty() || transcript_path.empty())
    return usage("--script and --transcript are required");

  std::string text;
  if (!read_file(script_path, &text)) return usage(("cannot read " + script_path).c_str());
  scripted::Script script;
  std::string error;
  if (!scripted::parse_script(text, folder_of(script_path), &script, &error))
    return usage((script_path + ": " + error).c_str());
  if (!set_up_environment(script, &error)) return usage(error.c_str());

  std::FILE* transcript = std::fopen(transcript_path.c_str(), "w");
  if (!transcript) return usage(("cannot write " + transcript_path).c_str());

  const int timeout_ms = script.timeout_ms;
  frontend = new scripted::ScriptedFrontend(std::move(script), transcript, echo ? stdout : nullptr);
  frontend_install(frontend);
  process_set_exit_hook(on_exit);

  if (timeout_ms > 0) {
    // Real time, not the program's scaled clock: a hung run must end.
    std::thread([timeout_ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
      frontend->record_error("time limit of " + std::to_string(timeout_ms) + " ms reached");
      process_exit(TIMEOUT_EXIT_CODE);
    }).detach();
  }

  int code = wizard_main(nullptr);
  process_exit(code);  // records the exit through the hook
}

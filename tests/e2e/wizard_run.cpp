#include "wizard_run.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "frontends/scripted/json.h"
#include "resources/image_builder.h"

namespace e2e {

namespace {
std::string netns_error;
bool netns_ready = false;
}  // namespace

bool in_private_netns() { return netns_ready; }
const std::string& netns_problem() { return netns_error; }

std::string write_image(const simtest::TempDir& dir, const std::string& name,
                        const std::string& magic, const std::string& version, std::uint32_t size,
                        std::uint64_t seed) {
  std::vector<unsigned char> image =
      build_firmware_image({magic.c_str(), version.c_str(), size, seed});
  simtest::write_bytes(dir.file(name), image);
  return name;
}

std::vector<const Json*> WizardRun::all(const std::string& event, int template_id) const {
  std::vector<const Json*> found;
  for (const Json& e : events)
    if (e.at("event") == event && (template_id == 0 || e.value("template", 0) == template_id))
      found.push_back(&e);
  return found;
}

std::vector<int> WizardRun::opened(const std::string& thread) const {
  std::vector<int> ids;
  for (const Json* e : all("open"))
    if (thread.empty() || e->at("thread") == thread) ids.push_back(e->at("template").get<int>());
  return ids;
}

std::vector<std::string> WizardRun::boxes() const {
  std::vector<std::string> texts;
  for (const Json* e : all("message_box")) texts.push_back(e->at("text").get<std::string>());
  return texts;
}

std::string WizardRun::last_caption(int template_id) const {
  std::string caption;
  for (const Json& e : events) {
    if (e.value("template", 0) != template_id) continue;
    const std::string& kind = e.at("event").get_ref<const std::string&>();
    if (kind == "open") caption = e.at("caption").get<std::string>();
    if (kind == "caption") caption = e.at("text").get<std::string>();
    if (kind == "captions") caption = e.at("last").get<std::string>();
  }
  return caption;
}

WizardRun run_wizard(const simtest::TempDir& dir, const std::string& script) {
  {
    std::ofstream out(dir.file("wizard.script"));
    out << script;
  }
  WizardRun run;
  std::vector<std::string> argv = {QEL_UPGRADE_SCRIPTED, "--script", dir.file("wizard.script"),
                                   "--transcript", dir.file("transcript.jsonl")};
  run.exit_code = simtest::run_program(argv, &run.output);
  std::istringstream lines(simtest::read_text(dir.file("transcript.jsonl")));
  std::string line;
  while (std::getline(lines, line)) {
    try {
      run.events.push_back(scripted::parse_transcript_line(line));
    } catch (const Json::exception& e) {
      ADD_FAILURE() << "transcript line not JSON (" << e.what() << "): " << line;
    }
  }
  if (run.events.empty() || run.events.back().value("event", "") != "exit")
    ADD_FAILURE() << "transcript does not end with the exit line; output:\n" << run.output;
  return run;
}

std::string base_script(const std::string& image_file, double clock_scale) {
  std::ostringstream s;
  // The tests say which stage they start in, so that they hold in both builds.
  s << "stage target\n"
    << "image 112 " << image_file << "\n"
    << "clock " << clock_scale << "\n"
    << "timeout 120000\n"
    << "answer 139 press 1\n"
    << "answer 101 type 1000 " << DEVICE << " ; press 1\n"
    << "answer 305 type 1000 " << DEVICE << " ; press 1\n";
  return s.str();
}

std::vector<std::string> log_lines_starting(const std::string& log, const std::string& prefix) {
  std::vector<std::string> found;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  return found;
}

std::vector<std::string> sim_args(std::vector<std::string> extra) {
  std::vector<std::string> args = {"--http-port",      "80", "--time-limit", "120",
                                   "--reboot-seconds", "0.3"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

}  // namespace e2e

// Every test runs in a network namespace of its own: the binary re-executes
// itself under unshare, brings loopback up and then runs the tests. The LAN
// tests share the helpers above but make their namespaces themselves.
#ifndef QEL_E2E_NO_MAIN
int main(int argc, char** argv) {
  if (!std::getenv("QEL_E2E_NETNS")) {
    bool gtest_listing = false;
    for (int i = 1; i < argc; ++i)
      gtest_listing |= std::string(argv[i]).rfind("--gtest_list_tests", 0) == 0;
    if (!gtest_listing && std::system("unshare --net --map-root-user true >/dev/null 2>&1") == 0) {
      ::setenv("QEL_E2E_NETNS", "1", 1);
      std::vector<char*> args = {const_cast<char*>("unshare"), const_cast<char*>("--net"),
                                 const_cast<char*>("--map-root-user"), const_cast<char*>("--")};
      for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
      args.push_back(nullptr);
      ::execvp("unshare", args.data());
    }
    e2e::netns_error = "unshare --net --map-root-user is not available here";
  } else if (std::system("ip link set lo up") != 0) {
    e2e::netns_error = "cannot bring loopback up in the namespace";
  } else {
    e2e::netns_ready = true;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
#endif

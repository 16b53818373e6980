#include "support/wizard.h"

#include <gtest/gtest.h>

#include <sstream>

#include "frontends/scripted/json.h"
#include "resources/image_builder.h"
#include "support/process.h"

namespace simtest {

std::string write_image(const TempDir& dir, const std::string& name, const std::string& magic,
                        const std::string& version, std::uint32_t size, std::uint64_t seed) {
  std::vector<unsigned char> image =
      build_firmware_image({magic.c_str(), version.c_str(), size, seed});
  write_bytes(dir.file(name), image);
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

std::string WizardRun::summary() const {
  std::string text = output + "--- transcript (controls left out)\n";
  for (Json e : events) {
    for (const char* key : {"controls", "static", "combos", "x", "y", "width", "height",
                            "screen_width", "screen_height"})
      e.erase(key);
    text += e.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  }
  return text;
}

WizardRun run_wizard(const TempDir& dir, const std::string& script) {
  write_text(dir.file("wizard.script"), script);
  WizardRun run;
  std::vector<std::string> argv = {QEL_UPGRADE_SCRIPTED, "--script", dir.file("wizard.script"),
                                   "--transcript", dir.file("transcript.jsonl")};
  run.exit_code = run_program(argv, &run.output);
  std::istringstream lines(read_text(dir.file("transcript.jsonl")));
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

const Json& control_text(const Json& opened, int control) {
  return opened.at("controls").at(std::to_string(control));
}

const Json& combo(const Json& opened, int control) {
  return opened.at("combos").at(std::to_string(control));
}

std::string dialog_thread(int template_id) { return "thread-" + std::to_string(template_id); }

}  // namespace simtest

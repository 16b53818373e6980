#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>

#include "session/session.h"
#include "platform/clock.h"
#include "platform/process.h"

#ifndef QEL_INITIAL_STAGE
#define QEL_INITIAL_STAGE 1
#endif

WizardSession wizard{.upgrade_stage{QEL_INITIAL_STAGE}};

namespace {

// Guards the values below, which are written while other threads run. Never
// held across anything that waits.
std::mutex session_lock;
char request_file_name[128];
DeviceInfo device_info;
char user_name[128];
char password[128];
// The subsystems' wipes for the end of a run (there is one: the digest state's).
void (*run_end_wipes[4])() = {};

void copy_text(char (&to)[128], const char* from) {
  std::strncpy(to, from, sizeof to - 1);
  to[sizeof to - 1] = '\0';
}

void publish_field(unsigned found, char (&to)[128], const char (&from)[128]) {
  if (found) std::memcpy(to, from, sizeof to);
}

}  // namespace

void start_in_stage(std::uint32_t stage) { wizard.upgrade_stage.store(stage); }

void set_request_file_name(const char* name) {
  std::lock_guard lock(session_lock);
  copy_text(request_file_name, name);
}

void get_request_file_name(char* out, int size) {
  std::lock_guard lock(session_lock);
  std::strncpy(out, request_file_name, static_cast<std::size_t>(size) - 1);
  out[size - 1] = '\0';
}

bool request_file_name_is(const char* name) {
  std::lock_guard lock(session_lock);
  return std::strcmp(request_file_name, name) == 0;
}

void draw_request_file_name(std::uint32_t stage) {
  char name[128];
  std::snprintf(name, sizeof name, "/qel%x.bi%u", static_cast<unsigned>(random_next()),
                static_cast<unsigned>(stage));
  set_request_file_name(name);
}

void publish_device_info(const DeviceInfo& found, unsigned fields) {
  std::lock_guard lock(session_lock);
  publish_field(fields & FOUND_PRODUCT_NAME, device_info.product_name, found.product_name);
  publish_field(fields & FOUND_MAC_ADDRESS, device_info.mac_address, found.mac_address);
  publish_field(fields & FOUND_SOFTWARE_VERSION, device_info.software_version,
                found.software_version);
  publish_field(fields & FOUND_HARDWARE_VERSION, device_info.hardware_version,
                found.hardware_version);
  publish_field(fields & FOUND_SERIAL_NUMBER, device_info.serial_number, found.serial_number);
}

void device_info_snapshot(DeviceInfo* out) {
  std::lock_guard lock(session_lock);
  *out = device_info;
}

void set_credentials(const char* user, const char* secret) {
  std::lock_guard lock(session_lock);
  copy_text(user_name, user);
  copy_text(password, secret);
}

void get_credentials(char* user, char* secret) {
  std::lock_guard lock(session_lock);
  std::memcpy(user, user_name, sizeof user_name);
  std::memcpy(secret, password, sizeof password);
  wipe_secret(password, sizeof password);
}

void forget_credentials() {
  std::lock_guard lock(session_lock);
  wipe_secret(password, sizeof password);
}

void wipe_at_run_end(void (*wipe)()) {
  std::lock_guard lock(session_lock);
  for (auto& slot : run_end_wipes) {
    if (slot == wipe) return;
    if (!slot) {
      slot = wipe;
      return;
    }
  }
}

void forget_run_secrets() {
  forget_credentials();
  void (*wipes[std::size(run_end_wipes)])();
  {
    std::lock_guard lock(session_lock);
    std::copy(std::begin(run_end_wipes), std::end(run_end_wipes), wipes);
  }
  for (auto wipe : wipes)
    if (wipe) wipe();  // each takes its own lock
}

void end_run(int code) {
  forget_run_secrets();
  process_exit(code);
}

void wipe_secret(void* data, std::size_t size) {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

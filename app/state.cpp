#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/app.h"
#include "platform/clock.h"

#ifndef QEL_INITIAL_STAGE
#define QEL_INITIAL_STAGE 1
#endif

std::atomic<std::uint32_t> upgrade_stage{QEL_INITIAL_STAGE};
std::uint32_t DeviceAddress = 0;
char device_address_text[64];

namespace {
std::mutex request_file_name_lock;
char request_file_name[128];
}  // namespace

void set_request_file_name(const char* name) {
  std::lock_guard lock(request_file_name_lock);
  std::strncpy(request_file_name, name, sizeof request_file_name - 1);
  request_file_name[sizeof request_file_name - 1] = '\0';
}

void get_request_file_name(char* out, int size) {
  std::lock_guard lock(request_file_name_lock);
  std::strncpy(out, request_file_name, static_cast<std::size_t>(size) - 1);
  out[size - 1] = '\0';
}

bool request_file_name_is(const char* name) {
  std::lock_guard lock(request_file_name_lock);
  return std::strcmp(request_file_name, name) == 0;
}

void draw_request_file_name(std::uint32_t stage) {
  char name[128];
  std::snprintf(name, sizeof name, "/qel%x.bi%u", static_cast<unsigned>(random_next()),
                static_cast<unsigned>(stage));
  set_request_file_name(name);
}

void start_in_stage(std::uint32_t stage) { upgrade_stage.store(stage); }

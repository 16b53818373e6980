#include "platform/resources.h"

#include <cstring>

#include "resources/embedded.h"

#if QEL_TEST_SEAMS
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/seams.h"

namespace {

struct Override {
  int number;
  std::string type;
  const unsigned char* data;
  std::uint32_t size;
};

std::mutex override_lock;
std::vector<Override> overrides;

// Whether a test replaced the resource; if so, whether it is there and where.
bool overridden(int number, const char* type, bool* found, const unsigned char** data,
                std::uint32_t* size) {
  std::lock_guard lock(override_lock);
  for (const Override& o : overrides) {
    if (o.number == number && o.type == type) {
      *found = o.data != nullptr;
      if (o.data) {
        *data = o.data;
        *size = o.size;
      }
      return true;
    }
  }
  return false;
}

}  // namespace

void seam_set_resource(int number, const char* type, const unsigned char* data,
                       std::uint32_t size) {
  std::lock_guard lock(override_lock);
  for (Override& o : overrides) {
    if (o.number == number && o.type == type) {
      o.data = data;
      o.size = size;
      return;
    }
  }
  overrides.push_back({number, type, data, size});
}

void seam_clear_resources() {
  std::lock_guard lock(override_lock);
  overrides.clear();
}
#endif

bool resource_find(int number, const char* type, const unsigned char** data, std::uint32_t* size) {
#if QEL_TEST_SEAMS
  bool found;
  if (overridden(number, type, &found, data, size)) return found;
#endif
  for (int i = 0; i < embedded_resource_count; ++i) {
    const EmbeddedResource& r = embedded_resources[i];
    if (r.number == number && std::strcmp(r.type, type) == 0) {
      *data = r.data;
      *size = r.size;
      return true;
    }
  }
  return false;
}

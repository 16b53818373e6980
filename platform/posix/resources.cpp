#include "platform/resources.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/seams.h"
#include "resources/embedded.h"

namespace {

struct Override {
  int number;
  std::string type;
  const unsigned char* data;
  std::uint32_t size;
};

std::mutex override_lock;
std::vector<Override> overrides;

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

bool resource_find(int number, const char* type, const unsigned char** data, std::uint32_t* size) {
  {
    std::lock_guard lock(override_lock);
    for (const Override& o : overrides) {
      if (o.number == number && o.type == type) {
        if (!o.data) return false;
        *data = o.data;
        *size = o.size;
        return true;
      }
    }
  }
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

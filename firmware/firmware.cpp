#include "firmware/firmware.h"

#include <cstring>

#include "platform/resources.h"

FirmwareImage target_image;
FirmwareImage transition_image;
char model_name[32];
std::uint32_t phone_family = 0;

// First match wins, so a code that begins another code must stand after it.
const ModelRow ModelTable[MODEL_TABLE_ROWS] = {
    {"qel5300", 7, "QEL-5300", false},       {"qel5200", 7, "QEL-5100/5200", false},
    {"qel5202", 7, "QEL-5202", false},       {"qel5101", 7, "QEL-5101", false},
    {"pArMeL7", 7, "QEL-741/QEL-721", true}, {"pArM701", 7, "QEL-701", true},
    {"TpArMeM", 7, "QEL-742/QEL-722", true}, {"pArMeL6", 7, "QEL-762", true},
    {"parmel", 6, "QEL-641", true},          {"qel5210", 7, "QEL-5210", false},
    {"qel5212", 7, "QEL-5212", false},       {"QeL5800", 7, "QEL5800", false},
    {"qel5312", 7, "QEL-5312", false},       {"QeL5900t", 8, "QEL5900", false},
    {"qel5900", 7, "QEL-5900", false},       {"TeRvAnO", 7, "TAV9", false},
    {"TvTaV9V3", 8, "TAV9T", false},
};

static const char UNKNOWN_MODEL[] = "ODM-Product";

FirmwareImage load_firmware_image(int resource_number) {
  FirmwareImage image{};
  const unsigned char* data = nullptr;
  std::uint32_t size = 0;
  if (!resource_find(resource_number, FIRMWARE_RESOURCE_TYPE, &data, &size)) return image;
  if (size < FIRMWARE_HEADER_SIZE) return image;
  image.data = data;
  image.size = size;
  std::memcpy(&image.header, data, FIRMWARE_HEADER_SIZE);
  return image;
}

// Case-folding comparison of n characters; a NUL ends it and matches only a NUL.
static bool code_matches(const char* header, const char* code, int n) {
  for (int i = 0; i < n; ++i) {
    unsigned char a = static_cast<unsigned char>(header[i]);
    unsigned char b = static_cast<unsigned char>(code[i]);
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
    if (a != b) return false;
    if (a == '\0') return true;
  }
  return true;
}

void identify_model() {
  phone_family = 0;
  const char* name = UNKNOWN_MODEL;
  for (const ModelRow& row : ModelTable) {
    if (code_matches(target_image.header.magic, row.code, row.compared_length)) {
      name = row.display_name;
      if (row.phone_family) phone_family = 1;
      break;
    }
  }
  std::strncpy(model_name, name, sizeof model_name - 1);
  model_name[sizeof model_name - 1] = '\0';
}

const char* image_version(const FirmwareImage* image) {
  // A version without NUL inside the header ends at the header's end: the
  // header copy is followed by nothing we may read, so cut the last byte.
  static_assert(sizeof image->header.version == 36);
  const char* version = image->header.version;
  if (std::memchr(version, '\0', sizeof image->header.version)) return version;
  static thread_local char cut[sizeof image->header.version + 1];
  std::memcpy(cut, version, sizeof image->header.version);
  cut[sizeof image->header.version] = '\0';
  return cut;
}

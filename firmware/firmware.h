// The embedded firmware images, the header fields the program reads, and the
// model table that names the device model.
#pragma once
#include <cstdint>

#include "resources/ids.h"
#include "session/layer.h"

QEL_LAYER_HEADER(FIRMWARE);

inline constexpr int TARGET_IMAGE_RESOURCE = IDR_TARGET_IMAGE;
inline constexpr int TRANSITION_IMAGE_RESOURCE = IDR_TRANSITION_IMAGE;
inline constexpr char FIRMWARE_RESOURCE_TYPE[] = "QEL_FIRMWARE";
inline constexpr std::uint32_t FIRMWARE_HEADER_SIZE = 128;

// The first 128 bytes of an image; only magic and version are read.
struct FirmwareHeader {
  char magic[16];  // its first 6 to 8 characters are the model code
  unsigned char zero[32];
  unsigned char opaque[32];
  unsigned char header_size_be[4];
  unsigned char second_size_be[4];
  unsigned char total_length_be[4];
  char version[36];  // NUL-terminated text, then zero fill
};
static_assert(sizeof(FirmwareHeader) == FIRMWARE_HEADER_SIZE);

struct FirmwareImage {
  const unsigned char* data;  // the whole image, header included; never freed
  std::uint32_t size;
  FirmwareHeader header;  // copy of the first 128 bytes
};

struct ModelRow {
  const char* code;
  int compared_length;
  const char* display_name;
  bool phone_family;
};
inline constexpr int MODEL_TABLE_ROWS = 17;
extern const ModelRow ModelTable[MODEL_TABLE_ROWS];

extern FirmwareImage target_image;
extern FirmwareImage transition_image;
extern char model_name[32];
extern std::uint32_t phone_family;  // 1 for a phone image

// An image whose resource is missing or shorter than its header comes back
// empty (null data, size 0, zero header).
FirmwareImage load_firmware_image(int resource_number);

// Names the model of the Target image: writes model_name and phone_family.
void identify_model();

// The header's version text, never read past the header's end.
const char* image_version(const FirmwareImage* image);

// The embedded image, its header, and model identification.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "firmware/firmware.h"
#include "platform/posix/seams.h"
#include "resources/image_builder.h"

namespace {

std::uint32_t be32(const unsigned char* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

TEST(EmbeddedImage, HasTheTargetHeaderAndSize) {
  seam_clear_resources();
  FirmwareImage image = load_firmware_image(TARGET_IMAGE_RESOURCE);
  ASSERT_NE(image.data, nullptr);
  EXPECT_EQ(image.size, 871243u);
  const unsigned char* h = image.data;
  EXPECT_EQ(std::memcmp(h, "TpArMeM fIrMwArE", 16), 0);
  for (int i = 16; i < 48; ++i) EXPECT_EQ(h[i], 0) << "offset " << i;
  EXPECT_EQ(be32(h + 80), 128u);
  EXPECT_EQ(be32(h + 84), 64u);
  EXPECT_EQ(be32(h + 88), 871243u);
  EXPECT_STREQ(reinterpret_cast<const char*>(h + 92), "5.2.5");
  for (int i = 92 + 5; i < 127; ++i) EXPECT_EQ(h[i], 0) << "offset " << i;
  EXPECT_EQ(h[127], 0x0F);
  EXPECT_EQ(std::memcmp(&image.header, h, 128), 0);
  EXPECT_STREQ(image_version(&image), "5.2.5");
}

TEST(EmbeddedImage, IsTheGeneratedFileByteForByte) {
  std::ifstream file(QEL_TARGET_IMAGE_PATH, std::ios::binary);
  std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file), {}};
  seam_clear_resources();
  FirmwareImage image = load_firmware_image(TARGET_IMAGE_RESOURCE);
  ASSERT_EQ(bytes.size(), image.size);
  EXPECT_EQ(std::memcmp(bytes.data(), image.data, image.size), 0);
}

TEST(EmbeddedImage, BodyLooksLikeHighEntropyData) {
  seam_clear_resources();
  FirmwareImage image = load_firmware_image(TARGET_IMAGE_RESOURCE);
  ASSERT_NE(image.data, nullptr);
  std::vector<int> counts(256);
  for (std::uint32_t i = 128; i < image.size; ++i) ++counts[image.data[i]];
  double expected = (image.size - 128) / 256.0;
  for (int c : counts) EXPECT_NEAR(c, expected, expected * 0.1);
}

TEST(ImageBuilder, IsDeterministicAndHonoursItsParameters) {
  std::vector<unsigned char> a = build_firmware_image({"qel5300", "5.2.5", 1024, 7});
  std::vector<unsigned char> b = build_firmware_image({"qel5300", "5.2.5", 1024, 7});
  std::vector<unsigned char> c = build_firmware_image({"qel5300", "5.2.5", 1024, 8});
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  ASSERT_EQ(a.size(), 1024u);
  EXPECT_EQ(be32(a.data() + 88), 1024u);
  EXPECT_EQ(std::memcmp(a.data(), "qel5300\0", 8), 0);
  EXPECT_EQ(build_firmware_image({"x", "1", 100, 1}).size(), 100u);
}

TEST(LoadFirmwareImage, MissingOrShortResourceGivesEmptyImage) {
  static const unsigned char short_image[127] = {'q'};
  seam_set_resource(TARGET_IMAGE_RESOURCE, FIRMWARE_RESOURCE_TYPE, short_image, sizeof short_image);
  FirmwareImage image = load_firmware_image(TARGET_IMAGE_RESOURCE);
  EXPECT_EQ(image.data, nullptr);
  EXPECT_EQ(image.size, 0u);
  seam_set_resource(TARGET_IMAGE_RESOURCE, FIRMWARE_RESOURCE_TYPE, nullptr, 0);
  EXPECT_EQ(load_firmware_image(TARGET_IMAGE_RESOURCE).data, nullptr);
  seam_clear_resources();
  // Only the two-stage build carries a Transition image.
  EXPECT_EQ(load_firmware_image(TRANSITION_IMAGE_RESOURCE).data != nullptr, QEL_INITIAL_STAGE == 0);
}

TEST(ImageVersion, ThirtyFiveCharactersAndAMissingTerminator) {
  FirmwareImage image{};
  std::memset(image.header.version, 'v', 35);
  EXPECT_EQ(std::strlen(image_version(&image)), 35u);
  std::memset(image.header.version, 'w', 36);  // no NUL inside the header
  EXPECT_EQ(std::string(image_version(&image)), std::string(36, 'w'));
}

struct ModelCase {
  const char* magic;
  const char* name;
  std::uint32_t phone;
};

class IdentifyModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(IdentifyModel, NamesTheModel) {
  const ModelCase& c = GetParam();
  target_image = FirmwareImage{};
  std::memcpy(target_image.header.magic, c.magic,
              std::min<std::size_t>(16, std::strlen(c.magic) + 1));
  phone_family = 7;
  identify_model();
  EXPECT_STREQ(model_name, c.name) << c.magic;
  EXPECT_EQ(phone_family, c.phone) << c.magic;
}

INSTANTIATE_TEST_SUITE_P(
    Table, IdentifyModel,
    ::testing::Values(ModelCase{"TpArMeM fIrMwArE", "QEL-742/QEL-722", 1},
                      ModelCase{"QEL5300xyz", "QEL-5300", 0},  // case folded
                      ModelCase{"qel5200", "QEL-5100/5200", 0}, ModelCase{"qel5202", "QEL-5202", 0},
                      ModelCase{"qel5101", "QEL-5101", 0},
                      ModelCase{"PARMEL7x", "QEL-741/QEL-721", 1},
                      ModelCase{"parm701", "QEL-701", 1}, ModelCase{"parmel6", "QEL-762", 1},
                      ModelCase{"parmel8", "QEL-641", 1},  // longer codes stand first
                      ModelCase{"parmel", "QEL-641", 1},   // NUL after the six letters
                      ModelCase{"qel5210", "QEL-5210", 0}, ModelCase{"qel5212", "QEL-5212", 0},
                      ModelCase{"qel5800", "QEL5800", 0}, ModelCase{"qel5312", "QEL-5312", 0},
                      ModelCase{"qel5900t", "QEL5900", 0}, ModelCase{"QEL5900T", "QEL5900", 0},
                      ModelCase{"qel5900x", "QEL-5900", 0}, ModelCase{"tervano", "TAV9", 0},
                      ModelCase{"tvtav9v3", "TAV9T", 0}, ModelCase{"qel530", "ODM-Product", 0},
                      ModelCase{"", "ODM-Product", 0}, ModelCase{"xyz", "ODM-Product", 0}));

}  // namespace

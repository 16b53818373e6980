// Start-up: the PC's addresses, the images, the model.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/app.h"
#include "firmware/firmware.h"
#include "platform/posix/seams.h"
#include "resources/image_builder.h"

namespace {

class StartUp : public ::testing::Test {
 protected:
  void SetUp() override {
    seam_clear_resources();
    upgrade_stage = STAGE_TARGET;
  }
  void TearDown() override {
    seam_clear_host_addresses();
    seam_clear_resources();
    upgrade_stage = STAGE_TARGET;
  }
};

TEST_F(StartUp, TakesTheFirstEightAddressesInResolverOrder) {
  std::vector<std::uint32_t> ten;
  for (std::uint32_t i = 1; i <= 10; ++i) ten.push_back(0x0A000000 + i);
  seam_set_host_addresses(ten.data(), 10, true);
  start_up();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(LocalAddressList[i], ten[i]) << i;
  EXPECT_EQ(ServerAddress, 0x0A000001u);
  EXPECT_STREQ(model_name, "QEL-742/QEL-722");
  EXPECT_EQ(phone_family, 1u);
  EXPECT_EQ(target_image.size, 871243u);
  EXPECT_EQ(transition_image.data, nullptr) << "resource 319 is not looked up in one stage";
}

TEST_F(StartUp, UnresolvedNameLeavesAnEmptyListWithoutComplaint) {
  const std::uint32_t old[] = {0x7F000001};
  seam_set_host_addresses(old, 1, true);
  start_up();
  seam_set_host_addresses(nullptr, 0, false);
  start_up();
  for (std::uint32_t a : LocalAddressList) EXPECT_EQ(a, 0u);
  EXPECT_EQ(ServerAddress, 0u);
}

TEST_F(StartUp, AdapterImageIsIdentifiedAsOne) {
  static std::vector<unsigned char> image = build_firmware_image({"QEL5312-x", "5.2.5", 1000, 1});
  seam_set_resource(TARGET_IMAGE_RESOURCE, FIRMWARE_RESOURCE_TYPE, image.data(),
                    static_cast<std::uint32_t>(image.size()));
  start_up();
  EXPECT_STREQ(model_name, "QEL-5312");
  EXPECT_EQ(phone_family, 0u);
  EXPECT_EQ(target_image.size, 1000u);
}

TEST_F(StartUp, TwoStageConfigurationLoadsTheTransitionImage) {
  static std::vector<unsigned char> image = build_firmware_image({"TpArMeM", "5.1.8", 700, 2});
  seam_set_resource(TRANSITION_IMAGE_RESOURCE, FIRMWARE_RESOURCE_TYPE, image.data(),
                    static_cast<std::uint32_t>(image.size()));
  upgrade_stage = STAGE_TRANSITION;
  start_up();
  EXPECT_EQ(transition_image.size, 700u);
  EXPECT_STREQ(image_version(&transition_image), "5.1.8");
  EXPECT_STREQ(model_name, "QEL-742/QEL-722") << "only the Target image names the model";
}

using StartUpDeathTest = StartUp;

TEST_F(StartUpDeathTest, MissingOrShortImagesEndTheRunWithAMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        seam_set_resource(TARGET_IMAGE_RESOURCE, FIRMWARE_RESOURCE_TYPE, nullptr, 0);
        start_up();
      },
      ::testing::ExitedWithCode(0), "Upgrade Failed: Firmware image missing or damaged");
  EXPECT_EXIT(
      {
        static const unsigned char stub[100] = {};
        seam_set_resource(TARGET_IMAGE_RESOURCE, FIRMWARE_RESOURCE_TYPE, stub, sizeof stub);
        start_up();
      },
      ::testing::ExitedWithCode(0), "Upgrade Failed: Firmware image missing or damaged");
  EXPECT_EXIT(
      {
        upgrade_stage = STAGE_TRANSITION;  // the two-stage build without resource 319
        start_up();
      },
      ::testing::ExitedWithCode(0), "Upgrade Failed: Firmware image missing or damaged");
}

}  // namespace

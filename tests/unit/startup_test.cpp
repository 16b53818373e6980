// Start-up: the PC's addresses, the images, the model.
#include <gtest/gtest.h>

#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "firmware/firmware.h"
#include "platform/clock.h"
#include "platform/posix/interfaces.h"
#include "platform/posix/seams.h"
#include "resources/image_builder.h"

namespace {

class StartUp : public ::testing::Test {
 protected:
  void SetUp() override {
    seam_clear_resources();
    wizard.upgrade_stage = STAGE_TARGET;
  }
  void TearDown() override {
    seam_clear_host_addresses();
    seam_clear_resources();
    wizard.upgrade_stage = STAGE_TARGET;
  }
};

TEST_F(StartUp, TakesTheFirstEightAddressesInResolverOrder) {
  std::vector<std::uint32_t> ten;
  for (std::uint32_t i = 1; i <= 10; ++i) ten.push_back(0x0A000000 + i);
  seam_set_host_addresses(ten.data(), 10, true);
  start_up();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(wizard.LocalAddressList[i], ten[i]) << i;
  EXPECT_EQ(wizard.ServerAddress, 0x0A000001u);
  EXPECT_STREQ(model_name, "QEL-742/QEL-722");
  EXPECT_EQ(phone_family, 1u);
  EXPECT_EQ(target_image.size, 871243u);
  EXPECT_EQ(transition_image.data, nullptr) << "the Transition image is not looked up in one stage";
}

TEST_F(StartUp, UnresolvedNameLeavesAnEmptyListWithoutComplaint) {
  const std::uint32_t old[] = {0x7F000001};
  seam_set_host_addresses(old, 1, true);
  start_up();
  seam_set_host_addresses(nullptr, 0, false);
  start_up();
  for (std::uint32_t a : wizard.LocalAddressList) EXPECT_EQ(a, 0u);
  EXPECT_EQ(wizard.ServerAddress, 0u);
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
  wizard.upgrade_stage = STAGE_TRANSITION;
  start_up();
  EXPECT_EQ(transition_image.size, 700u);
  EXPECT_STREQ(image_version(&transition_image), "5.1.8");
  EXPECT_STREQ(model_name, "QEL-742/QEL-722") << "only the Target image names the model";
}

std::string traced;
void record_trace(const char* text) { traced += text; }

TEST_F(StartUp, TracesEachAddressAsItStoodInNetworkOrder) {
  const std::uint32_t one[] = {0x0A01000D};  // 10.1.0.13
  seam_set_host_addresses(one, 1, true);
  traced.clear();
  seam_set_trace_sink(record_trace);
  start_up();
  seam_set_trace_sink(nullptr);
  // The bytes 0a 01 00 0d read as a native (little-endian) integer.
  EXPECT_NE(traced.find("Client IP = d00010a\n"), std::string::npos) << traced;
}

// The PC's own addresses on Linux come from its interfaces.
TEST(InterfaceAddresses, DefaultRouteFirstThenInterfaceOrderWithoutDuplicatesOrLoopback) {
  const std::vector<InterfaceAddress> found = {
      {"lo", 1, 0x7F000001, true, true},      {"eth1", 3, 0xCB007101, true, false},  // 203.0.113.1
      {"eth0", 2, 0xC633640A, true, false},    // 198.51.100.10
      {"eth0", 2, 0xC633640B, true, false},    // a second address on eth0
      {"wlan0", 4, 0xC0000201, false, false},  // down
      {"eth1", 3, 0xCB007101, true, false},    // listed twice
  };
  EXPECT_EQ(order_interface_addresses(found, "eth1"),
            (std::vector<std::uint32_t>{0xCB007101, 0xC633640A, 0xC633640B}));
  EXPECT_EQ(order_interface_addresses(found, ""),
            (std::vector<std::uint32_t>{0xC633640A, 0xC633640B, 0xCB007101}));
  // Loopback only when nothing else is up.
  EXPECT_EQ(order_interface_addresses({found[0], found[4]}, ""),
            (std::vector<std::uint32_t>{0x7F000001}));
}

// What seeds the generator must differ between runs: the real clock counts
// from the system's start, as timeGetTime does, not from the process's.
TEST(Clock, RealClockCountsFromTheSystemStart) {
  seam_clear_clock();
  timespec now{};
  ASSERT_EQ(clock_gettime(CLOCK_BOOTTIME, &now), 0);
  auto uptime = static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
  EXPECT_LT(clock_ms() - uptime, 1000u);
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
        wizard.upgrade_stage =
            STAGE_TRANSITION;  // the two-stage configuration without its Transition image
        seam_set_resource(TRANSITION_IMAGE_RESOURCE, FIRMWARE_RESOURCE_TYPE, nullptr, 0);
        start_up();
      },
      ::testing::ExitedWithCode(0), "Upgrade Failed: Firmware image missing or damaged");
}

}  // namespace

// Address parsing and what OK in the address dialog decides.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/app.h"
#include "ui/ui.h"

namespace {

struct ParseCase {
  const char* text;
  int code;
  std::uint32_t address;
};

class ParseIpAddress : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseIpAddress, GivesCodeAndAddress) {
  const ParseCase& c = GetParam();
  std::uint32_t address = 0xdeadbeef;
  EXPECT_EQ(parse_ip_address(c.text, &address), c.code) << c.text;
  EXPECT_EQ(address, c.address) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseIpAddress,
    ::testing::Values(
        ParseCase{"1.2.3.4", 0, 0x01020304}, ParseCase{"255.255.255.255", 0, 0xFFFFFFFF},
        ParseCase{"192.168.0.10", 0, 0xC0A8000A}, ParseCase{"1*2*3*4", 0, 0x01020304},
        ParseCase{"1.2*3.4", 0, 0x01020304}, ParseCase{"1..2.3.4", 0, 0x01020304},
        ParseCase{".1.2.3.4", 0, 0x01020304}, ParseCase{"1.2.3.4.", 0, 0x01020304},
        ParseCase{"001.002.003.004", 0, 0x01020304}, ParseCase{"0255.1.1.1", 0, 0xFF010101},
        ParseCase{"010.1.0.13", 0, 0x0A01000D},  // leading zeros are decimal
        ParseCase{"0.0.0.0", 0, 0},
        // length first
        ParseCase{"1.2.3", 4, 0}, ParseCase{"", 4, 0}, ParseCase{"1.2.3.4.5.6.7.89", 4, 0},
        ParseCase{"1.2.3.4.5.6.7.8", 2, 0}, ParseCase{"100.100.100.1001", 4, 0},
        ParseCase{"1.2.3.a", 5, 0}, ParseCase{" 1.2.3.4", 5, 0}, ParseCase{"1.2.3.4 ", 5, 0},
        ParseCase{"1,2,3,4", 5, 0}, ParseCase{"1.2.3.-4", 5, 0}, ParseCase{"1.2.3.\xb4", 5, 0},
        ParseCase{"1.2.3.256", 1, 0}, ParseCase{"1.2.3.4.256", 2, 0},
        ParseCase{"999.1.1.1.1", 1, 0}, ParseCase{"1..2..3", 3, 0}, ParseCase{"1.2.3.4.5", 2, 0},
        // a long first part must be refused, not overflow
        ParseCase{"123456789012345", 1, 0}, ParseCase{"99999999999.1.1", 1, 0},
        ParseCase{"4294967296.1.1", 1, 0}));

class AcceptAddress : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(wizard.LocalAddressList, 0, sizeof wizard.LocalAddressList);
    wizard.LocalAddressList[0] = 0x0A000001;
    wizard.LocalAddressList[1] = 0x0A000002;
    wizard.LocalAddressList[2] = 0x7F000001;
    wizard.ServerAddress = wizard.LocalAddressList[0];
    wizard.DeviceAddress = 0;
    set_request_file_name("");
    wizard.upgrade_stage = STAGE_TARGET;
  }
  void type(const char* text) { std::strcpy(wizard.device_address_text, text); }
  static std::string file_name() {
    char name[128];
    get_request_file_name(name, sizeof name);
    return name;
  }
};

TEST_F(AcceptAddress, ValidEntrySetsAddressesAndDrawsName) {
  type("010.001.000.013");
  ASSERT_EQ(accept_device_address(2), ADDRESS_ACCEPTED);
  EXPECT_EQ(wizard.DeviceAddress, 0x0A01000Du);
  EXPECT_EQ(wizard.ServerAddress, 0x7F000001u);
  EXPECT_STREQ(wizard.device_address_text, "010.001.000.013");  // kept as typed
  std::string name = file_name();
  ASSERT_GE(name.size(), 9u);
  EXPECT_EQ(name.substr(0, 4), "/qel");
  EXPECT_EQ(name.substr(name.size() - 4), ".bi1");
  std::string hex = name.substr(4, name.size() - 8);
  EXPECT_LE(hex.size(), 4u);
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_TRUE(hex.size() == 1 || hex[0] != '0') << "no leading zeros: " << name;
}

TEST_F(AcceptAddress, TransitionStageEndsNameInZero) {
  wizard.upgrade_stage = STAGE_TRANSITION;
  type("1.2.3.4");
  ASSERT_EQ(accept_device_address(0), ADDRESS_ACCEPTED);
  std::string name = file_name();
  EXPECT_EQ(name.substr(name.size() - 4), ".bi0");
}

TEST_F(AcceptAddress, BadEntriesAreRefusedAndChangeNothingElse) {
  for (const char* bad : {"0.0.0.0", "1.2.3", "1.2.3.256", "abc", "", "1.2.3.4.5"}) {
    type(bad);
    EXPECT_EQ(accept_device_address(1), ADDRESS_INVALID) << bad;
    EXPECT_EQ(wizard.DeviceAddress, 0u);
    EXPECT_EQ(wizard.ServerAddress, 0x0A000001u);
    EXPECT_EQ(file_name(), "");
  }
  type("1.2.3.4");
  EXPECT_EQ(accept_device_address(1), ADDRESS_ACCEPTED);
  EXPECT_EQ(wizard.ServerAddress, 0x0A000002u);
}

TEST_F(AcceptAddress, NeverReadsPastTheLocalList) {
  std::memset(wizard.LocalAddressList, 0, sizeof wizard.LocalAddressList);
  wizard.ServerAddress = 0;
  type("1.2.3.4");
  EXPECT_EQ(accept_device_address(-1), ADDRESS_NO_LOCAL);  // empty list: no selection
  EXPECT_EQ(wizard.DeviceAddress, 0u);
  EXPECT_EQ(wizard.ServerAddress, 0u);
  EXPECT_EQ(file_name(), "");
  wizard.LocalAddressList[0] = 0x0A000001;
  EXPECT_EQ(accept_device_address(1), ADDRESS_NO_LOCAL);  // entry after the end
  EXPECT_EQ(accept_device_address(8), ADDRESS_NO_LOCAL);
  EXPECT_EQ(accept_device_address(0), ADDRESS_ACCEPTED);
}

TEST(RequestFileName, IsCutToItsBuffer) {
  std::string longer(300, 'x');
  set_request_file_name(longer.c_str());
  char out[128];
  get_request_file_name(out, sizeof out);
  EXPECT_EQ(std::strlen(out), 127u);
  EXPECT_TRUE(request_file_name_is(std::string(127, 'x').c_str()));
  EXPECT_FALSE(request_file_name_is(longer.c_str()));
}

}  // namespace

#include <gtest/gtest.h>

#include "app/app.h"

TEST(VersionNumber, ReadsUpToThreePartsWithAutomaticBase) {
  struct {
    const char* text;
    std::int32_t value;
  } cases[] = {
      {"5.2.5", 50205},
      {"5.1.8", 50108},
      {"5.2", 502},
      {"5", 5},
      {"5.2.5(GR)", 50205},
      {"5.2.5.9", 50205},
      {"5.2.010", 50208},
      {"5.2.08", 50200},
      {"a5.2.5", 502},
      {"", 0},
      {"5.0x10.1", 51601},
      {"0x5.2.5", 50205},
      {" 5.2.5", 50205},
      {"5.1.2(GR)", 50102},
      {"5.2.5(NT)", 50205},
      {"5..2", 50002},
      {"5.2.", 50200},
      {"+5.2.5", 50205},
      {"..", 0},
      {"9.99.99", 99999},
  };
  for (const auto& c : cases) EXPECT_EQ(version_number(c.text), c.value) << '"' << c.text << '"';
  EXPECT_EQ(version_number(nullptr), 0);
}

TEST(VersionNumber, ComparesOlderAndNewerAsTheGateNeeds) {
  EXPECT_LT(version_number("5.1.2(GR)"), version_number("5.1.8"));
  EXPECT_GE(version_number("5.1.8"), version_number("5.1.8"));
  EXPECT_GT(version_number("5.2.5"), version_number("5.1.8"));
  EXPECT_GT(version_number("6.0.0"), version_number("5.99.99"));
}

TEST(VersionNumber, HugeAndNegativePartsBehaveAsWith32BitConversion) {
  // A saturated part: 4294967295 wraps through the 32-bit arithmetic.
  EXPECT_EQ(version_number("99999999999"), static_cast<std::int32_t>(0xffffffffu));
  EXPECT_EQ(version_number("-1"), static_cast<std::int32_t>(0xffffffffu));
  EXPECT_EQ(version_number("1.-1"), static_cast<std::int32_t>(100u + 0xffffffffu));
}

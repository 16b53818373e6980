// main() of the programs whose tests run on the LAN of lan.sh.
#include <gtest/gtest.h>

#include "support/lan.h"

int main(int argc, char** argv) {
  if (!lan::enter(argc, argv)) return 1;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

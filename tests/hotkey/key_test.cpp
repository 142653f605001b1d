// Keys and modifier sets: the codes the X service grabs and reads back, and
// the modifier bits.
#include <gtest/gtest.h>

#include <set>

#include "hotkey/key.h"

using namespace moxi::hotkey;
using M = ModifierFlags;

TEST(Key, EveryKeyHasItsOwnCodeAndReadsBackFromIt) {
  std::set<std::uint32_t> codes;
  for (Key key : allKeys()) {
    SCOPED_TRACE(keyName(key));
    EXPECT_TRUE(codes.insert(carbonKeyCode(key)).second) << "a code given twice";
    EXPECT_EQ(keyFromCarbonKeyCode(carbonKeyCode(key)), key);
  }
}

TEST(ModifierFlags, FourModifiersEachOnItsOwnBit) {
  const std::pair<M, std::uint32_t> each[] = {
      {M::command, 256}, {M::shift, 512}, {M::option, 2048}, {M::control, 4096}};
  for (const auto& [flag, bit] : each) {
    EXPECT_EQ(flag.toCarbonModifiers(), bit);
    EXPECT_EQ(M::fromCarbonModifiers(bit), flag) << bit;
  }
}

// Keys, modifier sets and combinations: codes, names, modifier bits,
// dictionaries. The symbols of keys are read in the taken combinations' test.
#include <gtest/gtest.h>

#include <set>

#include "hotkey/key.h"

using namespace moxi::hotkey;
using M = ModifierFlags;

TEST(Key, EveryKeyHasItsOwnCodeAndNameAndReadsBackFromThem) {
  std::set<std::uint32_t> codes;
  for (Key key : allKeys()) {
    SCOPED_TRACE(keyName(key));
    EXPECT_TRUE(codes.insert(carbonKeyCode(key)).second) << "a code given twice";
    EXPECT_EQ(keyFromCarbonKeyCode(carbonKeyCode(key)), key);
    EXPECT_EQ(keyFromString(QString::fromLatin1(keyName(key)).toUpper()), key);
  }
}

TEST(KeyCombo, FourModifiersEachOnItsOwnBitAndADictionaryThatReadsBack) {
  const std::pair<M, std::uint32_t> each[] = {
      {M::command, 256}, {M::shift, 512}, {M::option, 2048}, {M::control, 4096}};
  for (const auto& [flag, bit] : each) {
    EXPECT_EQ(flag.toCarbonModifiers(), bit);
    EXPECT_EQ(M::fromCarbonModifiers(bit), flag) << bit;
  }
  EXPECT_EQ((M::shift | M::command | M::capsLock | M::function | M(1ull << 40)).toCarbonModifiers(), 768u);
  // alphaLock (1024), right-hand bits and other stray bits are dropped.
  EXPECT_EQ(M::fromCarbonModifiers(512 | 1024 | 8192 | 0x80000000u), M::shift);

  const KeyCombo combo(Key::f1, M::command);
  EXPECT_EQ(KeyCombo::fromDictionary(combo.dictionary()), combo);
  EXPECT_FALSE(KeyCombo::fromDictionary({{"keyCode", 122.0}, {"modifiers", 256}}));
}

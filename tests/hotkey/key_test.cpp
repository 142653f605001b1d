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
  for (std::uint32_t code : {10u, 127u, 4294967295u}) EXPECT_FALSE(keyFromCarbonKeyCode(code)) << code;
  // No trimming, no prefixes, no keypad for main-block symbols, no stray symbols.
  for (const char* text : {"return ", "", "?", "f21", "keypad 1"}) EXPECT_FALSE(keyFromString(text)) << text;
}

TEST(KeyCombo, FourModifiersEachOnItsOwnBitAndDictionariesThatReadBack) {
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
  EXPECT_EQ(KeyCombo::fromDictionary({{"keyCode", qint64(4294967295)}, {"modifiers", 0}}), KeyCombo(4294967295u, 0));
  const QVariantMap bad[] = {{{"keyCode", 122}}, {{"keyCode", 122.0}, {"modifiers", 256}},
                             {{"keyCode", -1}, {"modifiers", 256}}, {{"keyCode", 122}, {"modifiers", qint64(4294967296)}}};
  for (const QVariantMap& m : bad) EXPECT_FALSE(KeyCombo::fromDictionary(m)) << m.size();
}

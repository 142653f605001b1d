// Keys, modifier sets and combinations: codes, texts, symbols, dictionaries.
#include <gtest/gtest.h>

#include <QStringList>

#include <set>

#include "hotkey/key.h"

using namespace moxi::hotkey;

namespace {

// The virtual key codes of the US layout, transcribed independently of the
// table in the library.
const char* const kCodes =
    "a 0 b 11 c 8 d 2 e 14 f 3 g 5 h 4 i 34 j 38 k 40 l 37 m 46 n 45 o 31 p 35 q 12 r 15 s 1 t 17 u 32 "
    "v 9 w 13 x 7 y 16 z 6 zero 29 one 18 two 19 three 20 four 21 five 23 six 22 seven 26 eight 28 nine 25 "
    "period 47 quote 39 rightBracket 30 semicolon 41 slash 44 backslash 42 comma 43 equal 24 grave 50 "
    "leftBracket 33 minus 27 space 49 tab 48 return 36 command 55 rightCommand 54 option 58 rightOption 61 "
    "control 59 rightControl 62 shift 56 rightShift 60 function 63 capsLock 57 pageUp 116 pageDown 121 "
    "home 115 end 119 upArrow 126 rightArrow 124 downArrow 125 leftArrow 123 f1 122 f2 120 f3 99 f4 118 "
    "f5 96 f6 97 f7 98 f8 100 f9 101 f10 109 f11 103 f12 111 f13 105 f14 107 f15 113 f16 106 f17 64 "
    "f18 79 f19 80 f20 90 keypad0 82 keypad1 83 keypad2 84 keypad3 85 keypad4 86 keypad5 87 keypad6 88 "
    "keypad7 89 keypad8 91 keypad9 92 keypadClear 71 keypadDecimal 65 keypadDivide 75 keypadEnter 76 "
    "keypadEquals 81 keypadMinus 78 keypadMultiply 67 keypadPlus 69 escape 53 delete 51 forwardDelete 117 "
    "help 114 volumeUp 72 volumeDown 73 mute 74";

QString u(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

TEST(Key, CodesFollowDeclarationOrderAndRoundTrip) {
  const QStringList words = QString::fromLatin1(kCodes).split(u' ');
  ASSERT_EQ(words.size(), 2 * static_cast<qsizetype>(keyCount));
  std::set<std::uint32_t> assigned;
  for (std::size_t i = 0; i < keyCount; ++i) {
    const Key key = allKeys()[i];
    SCOPED_TRACE(keyName(key));
    EXPECT_EQ(keyIndex(key), i);
    EXPECT_EQ(QString::fromLatin1(keyName(key)), words[2 * i]);
    EXPECT_EQ(carbonKeyCode(key), words[2 * i + 1].toUInt());
    EXPECT_EQ(keyFromCarbonKeyCode(carbonKeyCode(key)), key);
    assigned.insert(carbonKeyCode(key));
  }
  EXPECT_EQ(keyIndex(Key::f1), 68u);
  EXPECT_EQ(keyIndex(Key::mute), 112u);

  std::set<std::uint32_t> unassigned;
  for (std::uint32_t code = 0; code <= 126; ++code)
    if (!keyFromCarbonKeyCode(code)) unassigned.insert(code);
  EXPECT_EQ(unassigned, (std::set<std::uint32_t>{10, 52, 66, 68, 70, 77, 93, 94, 95, 102, 104, 108, 110, 112}));
  for (std::uint32_t code : {127u, 128u, 255u, 4294967295u}) EXPECT_FALSE(keyFromCarbonKeyCode(code)) << code;
}

TEST(Key, Descriptions) {
  const std::pair<Key, const char*> cases[] = {
      {Key::a, "A"}, {Key::zero, "0"}, {Key::keypad7, "7"}, {Key::quote, "\""}, {Key::space, "\u2423"},
      {Key::keypadEnter, "\u21A9\uFE0E"}, {Key::rightCommand, "\u2318"}, {Key::function, "fn"},
      {Key::f9, "\uF860F9"}, {Key::f10, "\uF861F10"}, {Key::keypadMultiply, "\U0001D5D1"},
      {Key::help, "?\u20DD"}, {Key::mute, "\U0001F507"}, {Key::delete_, "\u232B"},
  };
  for (const auto& [key, text] : cases) EXPECT_EQ(description(key), u(text)) << keyName(key);
}

TEST(Key, FromStringAcceptsNamesInAnyCase) {
  for (Key key : allKeys()) {
    const QString name = QString::fromLatin1(keyName(key));
    EXPECT_EQ(keyFromString(name), key) << keyName(key);
    EXPECT_EQ(keyFromString(name.toUpper()), key) << keyName(key);
  }
}

TEST(Key, FromStringAcceptsSymbols) {
  const std::pair<const char*, Key> cases[] = {
      {"0", Key::zero}, {"1", Key::one}, {"9", Key::nine}, {".", Key::period}, {"\"", Key::quote},
      {"]", Key::rightBracket}, {";", Key::semicolon}, {"/", Key::slash}, {"\\", Key::backslash},
      {",", Key::comma}, {"=", Key::equal}, {"[", Key::leftBracket}, {"-", Key::minus},
      {"`", Key::grave}, {"\u02CB", Key::grave}, {"\uFF40", Key::grave},
      {"\r", Key::return_}, {"\u21A9\uFE0E", Key::return_}, {"\u23CE", Key::return_}, {"\u2B90", Key::return_},
      {"\t", Key::tab}, {"\u21E5", Key::tab}, {" ", Key::space}, {"\u2423", Key::space},
      {"\u232B", Key::delete_}, {"\u238B", Key::escape}, {"\u2326", Key::forwardDelete},
      {"\u2327", Key::keypadClear}, {"\u2318", Key::command}, {"\uF8FF", Key::command},
      {"\u21E7", Key::shift}, {"\u21EA", Key::capsLock}, {"\u2325", Key::option}, {"\u2303", Key::control},
      {"fn", Key::function}, {"FN", Key::function}, {"\U0001F50A", Key::volumeUp},
      {"\U0001F509", Key::volumeDown}, {"\U0001F507", Key::mute}, {"?\u20DD", Key::help},
      {"\u2196", Key::home}, {"\u2198", Key::end}, {"\u21DE", Key::pageUp}, {"\u21DF", Key::pageDown},
      {"\u2190", Key::leftArrow}, {"\u2192", Key::rightArrow}, {"\u2193", Key::downArrow},
      {"\u2191", Key::upArrow}, {"Return", Key::return_}, {"F1", Key::f1}, {"A", Key::a},
  };
  for (const auto& [text, key] : cases) EXPECT_EQ(keyFromString(u(text)), key) << text;

  // No trimming, no prefixes, no keypad for main-block symbols, no stray symbols.
  for (const char* text : {"return ", " a", "", "?", "'", "keypad", "fnn", "f21", "\u21A9", "+", "*", "\u2424",
                           "keypad 1", "ret"}) {
    EXPECT_FALSE(keyFromString(u(text))) << text;
  }
}

TEST(ModifierFlags, CarbonConversionsKeepOnlyTheFourModifiers) {
  using M = ModifierFlags;
  const M all = M::command | M::shift | M::option | M::control;
  EXPECT_EQ(all.toCarbonModifiers(), 256u | 512u | 2048u | 4096u);
  EXPECT_EQ(all.description(), u("\u2303\u2325\u21E7\u2318"));
  EXPECT_EQ((M::shift | M::command | M::capsLock | M::function | M(1ull << 40)).toCarbonModifiers(), 768u);
  EXPECT_EQ(M::fromCarbonModifiers(6400), M::control | M::option | M::command);
  EXPECT_EQ(M::fromCarbonModifiers(6400).description(), u("\u2303\u2325\u2318"));
  // alphaLock (1024), right-hand bits and other stray bits are dropped.
  EXPECT_EQ(M::fromCarbonModifiers(512 | 1024 | 8192 | 0x80000000u), M::shift);
  EXPECT_EQ(M::capsLock.description(), QString());
}

TEST(KeyCombo, KeyModifiersDescriptionAndDictionary) {
  KeyCombo combo(Key::f1, ModifierFlags::command);
  EXPECT_EQ(combo, KeyCombo(122, 256));
  EXPECT_EQ(combo.description(), u("\u2318\uF860F1"));
  EXPECT_EQ(KeyCombo(10, 256 | 1024).description(), u("\u2318"));  // a code of no key
  EXPECT_EQ(KeyCombo::fromDictionary(combo.dictionary()), combo);
  EXPECT_EQ(combo.dictionary().value("keyCode").metaType().id(), QMetaType::LongLong);
  EXPECT_EQ(KeyCombo::fromDictionary({{"keyCode", 122}, {"modifiers", 256u}}), combo);
  EXPECT_EQ(KeyCombo::fromDictionary({{"keyCode", qint64(4294967295)}, {"modifiers", 0}}), KeyCombo(4294967295u, 0));

  combo.setModifiers(ModifierFlags::shift | ModifierFlags::capsLock);
  EXPECT_EQ(combo.carbonModifiers, 512u);
  combo.setKey(std::nullopt);
  EXPECT_EQ(combo.carbonKeyCode, 0u);
  EXPECT_EQ(combo.key(), Key::a);

  const QVariantMap bad[] = {
      {{"keyCode", 122}},
      {{"keyCode", 122}, {"modifiers", "256"}},
      {{"keyCode", 122.0}, {"modifiers", 256}},
      {{"keyCode", true}, {"modifiers", 256}},
      {{"keyCode", -1}, {"modifiers", 256}},
      {{"keyCode", 122}, {"modifiers", qint64(4294967296)}},
  };
  for (const QVariantMap& m : bad) EXPECT_FALSE(KeyCombo::fromDictionary(m)) << m.size();
}

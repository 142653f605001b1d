#include "hotkey/key.h"

#include <QHash>
#include <QMetaType>

#include <limits>
#include <utility>

namespace moxi::hotkey {

namespace {

struct KeyInfo {
  const char* name;
  std::uint32_t code;
  const char* description;  // UTF-8
};

// Indexed by the key's declaration order.
constexpr std::array<KeyInfo, keyCount> keyTable{{
    {"a", 0, "A"}, {"b", 11, "B"}, {"c", 8, "C"}, {"d", 2, "D"}, {"e", 14, "E"}, {"f", 3, "F"},
    {"g", 5, "G"}, {"h", 4, "H"}, {"i", 34, "I"}, {"j", 38, "J"}, {"k", 40, "K"}, {"l", 37, "L"},
    {"m", 46, "M"}, {"n", 45, "N"}, {"o", 31, "O"}, {"p", 35, "P"}, {"q", 12, "Q"}, {"r", 15, "R"},
    {"s", 1, "S"}, {"t", 17, "T"}, {"u", 32, "U"}, {"v", 9, "V"}, {"w", 13, "W"}, {"x", 7, "X"},
    {"y", 16, "Y"}, {"z", 6, "Z"},
    {"zero", 29, "0"}, {"one", 18, "1"}, {"two", 19, "2"}, {"three", 20, "3"}, {"four", 21, "4"},
    {"five", 23, "5"}, {"six", 22, "6"}, {"seven", 26, "7"}, {"eight", 28, "8"}, {"nine", 25, "9"},
    {"period", 47, "."}, {"quote", 39, "\""}, {"rightBracket", 30, "]"}, {"semicolon", 41, ";"},
    {"slash", 44, "/"}, {"backslash", 42, "\\"}, {"comma", 43, ","}, {"equal", 24, "="},
    {"grave", 50, "`"}, {"leftBracket", 33, "["}, {"minus", 27, "-"},
    {"space", 49, "\u2423"}, {"tab", 48, "\u21E5"}, {"return", 36, "\u21A9\uFE0E"},
    {"command", 55, "\u2318"}, {"rightCommand", 54, "\u2318"}, {"option", 58, "\u2325"},
    {"rightOption", 61, "\u2325"}, {"control", 59, "\u2303"}, {"rightControl", 62, "\u2303"},
    {"shift", 56, "\u21E7"}, {"rightShift", 60, "\u21E7"}, {"function", 63, "fn"},
    {"capsLock", 57, "\u21EA"},
    {"pageUp", 116, "\u21DE"}, {"pageDown", 121, "\u21DF"}, {"home", 115, "\u2196"}, {"end", 119, "\u2198"},
    {"upArrow", 126, "\u2191"}, {"rightArrow", 124, "\u2192"}, {"downArrow", 125, "\u2193"},
    {"leftArrow", 123, "\u2190"},
    {"f1", 122, "\uF860F1"}, {"f2", 120, "\uF860F2"}, {"f3", 99, "\uF860F3"}, {"f4", 118, "\uF860F4"},
    {"f5", 96, "\uF860F5"}, {"f6", 97, "\uF860F6"}, {"f7", 98, "\uF860F7"}, {"f8", 100, "\uF860F8"},
    {"f9", 101, "\uF860F9"}, {"f10", 109, "\uF861F10"}, {"f11", 103, "\uF861F11"}, {"f12", 111, "\uF861F12"},
    {"f13", 105, "\uF861F13"}, {"f14", 107, "\uF861F14"}, {"f15", 113, "\uF861F15"}, {"f16", 106, "\uF861F16"},
    {"f17", 64, "\uF861F17"}, {"f18", 79, "\uF861F18"}, {"f19", 80, "\uF861F19"}, {"f20", 90, "\uF861F20"},
    {"keypad0", 82, "0"}, {"keypad1", 83, "1"}, {"keypad2", 84, "2"}, {"keypad3", 85, "3"},
    {"keypad4", 86, "4"}, {"keypad5", 87, "5"}, {"keypad6", 88, "6"}, {"keypad7", 89, "7"},
    {"keypad8", 91, "8"}, {"keypad9", 92, "9"},
    {"keypadClear", 71, "\u2327"}, {"keypadDecimal", 65, "."}, {"keypadDivide", 75, "/"},
    {"keypadEnter", 76, "\u21A9\uFE0E"}, {"keypadEquals", 81, "="}, {"keypadMinus", 78, "-"},
    {"keypadMultiply", 67, "\U0001D5D1"}, {"keypadPlus", 69, "+"},
    {"escape", 53, "\u238B"}, {"delete", 51, "\u232B"}, {"forwardDelete", 117, "\u2326"},
    {"help", 114, "?\u20DD"}, {"volumeUp", 72, "\U0001F50A"}, {"volumeDown", 73, "\U0001F509"},
    {"mute", 74, "\U0001F507"},
}};

static_assert(keyTable[keyIndex(Key::f1)].code == 122);
static_assert(keyTable[keyIndex(Key::mute)].code == 74);
static_assert(keyIndex(Key::mute) == keyCount - 1);

constexpr std::uint32_t highestKeyCode = 126;

// Code -> key; -1 for the codes that belong to no key.
constexpr std::array<int, highestKeyCode + 1> codeTable = [] {
  std::array<int, highestKeyCode + 1> table{};
  for (int& entry : table) entry = -1;
  for (std::size_t i = 0; i < keyTable.size(); ++i) table[keyTable[i].code] = static_cast<int>(i);
  return table;
}();

// Texts other than the lower-cased case names that name or show a key.
const QHash<QString, Key>& acceptedTexts() {
  static const QHash<QString, Key> texts = [] {
    QHash<QString, Key> t;
    for (Key key : allKeys()) t.insert(QString::fromLatin1(keyName(key)).toLower(), key);
    const std::pair<const char*, Key> symbols[] = {
        {"0", Key::zero}, {"1", Key::one}, {"2", Key::two}, {"3", Key::three}, {"4", Key::four},
        {"5", Key::five}, {"6", Key::six}, {"7", Key::seven}, {"8", Key::eight}, {"9", Key::nine},
        {".", Key::period}, {"\"", Key::quote}, {"]", Key::rightBracket}, {";", Key::semicolon},
        {"/", Key::slash}, {"\\", Key::backslash}, {",", Key::comma}, {"=", Key::equal},
        {"[", Key::leftBracket}, {"-", Key::minus},
        {"`", Key::grave}, {"\u02CB", Key::grave}, {"\uFF40", Key::grave},
        {"\r", Key::return_}, {"\u21A9\uFE0E", Key::return_}, {"\u23CE", Key::return_}, {"\u2B90", Key::return_},
        {"\t", Key::tab}, {"\u21E5", Key::tab},
        {" ", Key::space}, {"\u2423", Key::space},
        {"\u232B", Key::delete_}, {"\u238B", Key::escape}, {"\u2326", Key::forwardDelete},
        {"\u2327", Key::keypadClear},
        {"\u2318", Key::command}, {"\uF8FF", Key::command}, {"\u21E7", Key::shift}, {"\u21EA", Key::capsLock},
        {"\u2325", Key::option}, {"\u2303", Key::control}, {"fn", Key::function},
        {"\U0001F50A", Key::volumeUp}, {"\U0001F509", Key::volumeDown}, {"\U0001F507", Key::mute},
        {"?\u20DD", Key::help},
        {"\u2196", Key::home}, {"\u2198", Key::end}, {"\u21DE", Key::pageUp}, {"\u21DF", Key::pageDown},
        {"\u2190", Key::leftArrow}, {"\u2192", Key::rightArrow}, {"\u2193", Key::downArrow},
        {"\u2191", Key::upArrow},
    };
    for (const auto& [text, key] : symbols) t.insert(QString::fromUtf8(text), key);
    return t;
  }();
  return texts;
}

// The integer types a dictionary value may hold; everything else (floating
// point, text, Booleans) is not an integer.
std::optional<std::uint32_t> uint32Value(const QVariant& value) {
  switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::SChar: {
      const qlonglong v = value.toLongLong();
      if (v < 0 || v > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
      return static_cast<std::uint32_t>(v);
    }
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar: {
      const qulonglong v = value.toULongLong();
      if (v > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
      return static_cast<std::uint32_t>(v);
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

const std::array<Key, keyCount>& allKeys() {
  static const std::array<Key, keyCount> keys = [] {
    std::array<Key, keyCount> k{};
    for (std::size_t i = 0; i < keyCount; ++i) k[i] = static_cast<Key>(i);
    return k;
  }();
  return keys;
}

std::uint32_t carbonKeyCode(Key key) { return keyTable[keyIndex(key)].code; }

std::optional<Key> keyFromCarbonKeyCode(std::uint32_t code) {
  if (code > highestKeyCode || codeTable[code] < 0) return std::nullopt;
  return static_cast<Key>(codeTable[code]);
}

const char* keyName(Key key) { return keyTable[keyIndex(key)].name; }

QString description(Key key) { return QString::fromUtf8(keyTable[keyIndex(key)].description); }

std::optional<Key> keyFromString(const QString& text) {
  const auto& texts = acceptedTexts();
  auto it = texts.constFind(text.toLower());
  if (it == texts.constEnd()) return std::nullopt;
  return *it;
}

std::uint32_t ModifierFlags::toCarbonModifiers() const {
  std::uint32_t bits = 0;
  if (contains(command)) bits |= carbon::cmdKey;
  if (contains(option)) bits |= carbon::optionKey;
  if (contains(control)) bits |= carbon::controlKey;
  if (contains(shift)) bits |= carbon::shiftKey;
  return bits;
}

ModifierFlags ModifierFlags::fromCarbonModifiers(std::uint32_t bits) {
  ModifierFlags flags;
  if (bits & carbon::cmdKey) flags.insert(command);
  if (bits & carbon::optionKey) flags.insert(option);
  if (bits & carbon::controlKey) flags.insert(control);
  if (bits & carbon::shiftKey) flags.insert(shift);
  return flags;
}

QString ModifierFlags::description() const {
  QString text;
  if (contains(control)) text += QChar(0x2303);
  if (contains(option)) text += QChar(0x2325);
  if (contains(shift)) text += QChar(0x21E7);
  if (contains(command)) text += QChar(0x2318);
  return text;
}

KeyCombo::KeyCombo(Key key, ModifierFlags modifiers)
    : carbonKeyCode(hotkey::carbonKeyCode(key)), carbonModifiers(modifiers.toCarbonModifiers()) {}

std::optional<Key> KeyCombo::key() const { return keyFromCarbonKeyCode(carbonKeyCode); }

void KeyCombo::setKey(std::optional<Key> key) { carbonKeyCode = key ? hotkey::carbonKeyCode(*key) : 0; }

ModifierFlags KeyCombo::modifiers() const { return ModifierFlags::fromCarbonModifiers(carbonModifiers); }

void KeyCombo::setModifiers(ModifierFlags modifiers) { carbonModifiers = modifiers.toCarbonModifiers(); }

QString KeyCombo::description() const {
  QString text = modifiers().description();
  if (auto k = key()) text += hotkey::description(*k);
  return text;
}

QVariantMap KeyCombo::dictionary() const {
  return {{QStringLiteral("keyCode"), QVariant::fromValue(static_cast<qint64>(carbonKeyCode))},
          {QStringLiteral("modifiers"), QVariant::fromValue(static_cast<qint64>(carbonModifiers))}};
}

std::optional<KeyCombo> KeyCombo::fromDictionary(const QVariantMap& dictionary) {
  auto code = dictionary.constFind(QStringLiteral("keyCode"));
  auto modifiers = dictionary.constFind(QStringLiteral("modifiers"));
  if (code == dictionary.constEnd() || modifiers == dictionary.constEnd()) return std::nullopt;
  auto codeValue = uint32Value(*code);
  auto modifierValue = uint32Value(*modifiers);
  if (!codeValue || !modifierValue) return std::nullopt;
  return KeyCombo(*codeValue, *modifierValue);
}

}  // namespace moxi::hotkey

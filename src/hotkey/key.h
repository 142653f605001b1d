#pragma once
// Keys of a desktop keyboard, modifier sets and key combinations, with their
// virtual key codes, Carbon modifier bits, names, accepted texts and symbols.
// Pure data and conversions: nothing here talks to the window system.
#include <QString>
#include <QVariantMap>

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace moxi::hotkey {

// Declaration order is the key's index (0 … 112); `return` and `delete` are
// C++ keywords and carry a trailing underscore.
enum class Key : std::uint8_t {
  a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t, u, v, w, x, y, z,
  zero, one, two, three, four, five, six, seven, eight, nine,
  period, quote, rightBracket, semicolon, slash, backslash, comma, equal, grave, leftBracket, minus,
  space, tab, return_,
  command, rightCommand, option, rightOption, control, rightControl, shift, rightShift, function, capsLock,
  pageUp, pageDown, home, end, upArrow, rightArrow, downArrow, leftArrow,
  f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12, f13, f14, f15, f16, f17, f18, f19, f20,
  keypad0, keypad1, keypad2, keypad3, keypad4, keypad5, keypad6, keypad7, keypad8, keypad9,
  keypadClear, keypadDecimal, keypadDivide, keypadEnter, keypadEquals, keypadMinus, keypadMultiply, keypadPlus,
  escape, delete_, forwardDelete, help, volumeUp, volumeDown, mute,
};

inline constexpr std::size_t keyCount = 113;

constexpr std::size_t keyIndex(Key key) { return static_cast<std::size_t>(key); }
// Every key in declaration order.
const std::array<Key, keyCount>& allKeys();

// The virtual key code (US layout key position).
std::uint32_t carbonKeyCode(Key key);
// The key at a virtual key code; none for codes that belong to no key.
std::optional<Key> keyFromCarbonKeyCode(std::uint32_t code);
// The case name, for example "rightBracket" or "return".
const char* keyName(Key key);
// The display text, for example "A", "⇥" or U+F860 "F1".
QString description(Key key);
// The key named or shown by a text (lower-cased first, no trimming), or none.
std::optional<Key> keyFromString(const QString& text);

// The application-level 64-bit modifier flag set. Only shift, control,
// option and command take part in conversions; other bits are carried along.
class ModifierFlags {
 public:
  static const ModifierFlags capsLock;
  static const ModifierFlags shift;
  static const ModifierFlags control;
  static const ModifierFlags option;
  static const ModifierFlags command;
  static const ModifierFlags numericPad;
  static const ModifierFlags help;
  static const ModifierFlags function;

  constexpr ModifierFlags() = default;
  constexpr explicit ModifierFlags(std::uint64_t rawValue) : raw_(rawValue) {}

  constexpr std::uint64_t rawValue() const { return raw_; }
  constexpr bool isEmpty() const { return raw_ == 0; }
  constexpr bool contains(ModifierFlags other) const { return (raw_ & other.raw_) == other.raw_; }
  constexpr void insert(ModifierFlags other) { raw_ |= other.raw_; }
  constexpr void remove(ModifierFlags other) { raw_ &= ~other.raw_; }
  friend constexpr ModifierFlags operator|(ModifierFlags l, ModifierFlags r) { return ModifierFlags(l.raw_ | r.raw_); }
  friend constexpr bool operator==(ModifierFlags, ModifierFlags) = default;

  // Carbon bits: command 256, shift 512, option 2048, control 4096.
  std::uint32_t toCarbonModifiers() const;
  static ModifierFlags fromCarbonModifiers(std::uint32_t bits);
  // Symbols of the present modifiers, always in the order ⌃ ⌥ ⇧ ⌘.
  QString description() const;

 private:
  std::uint64_t raw_ = 0;
};

inline constexpr ModifierFlags ModifierFlags::capsLock{0x10000};
inline constexpr ModifierFlags ModifierFlags::shift{0x20000};
inline constexpr ModifierFlags ModifierFlags::control{0x40000};
inline constexpr ModifierFlags ModifierFlags::option{0x80000};
inline constexpr ModifierFlags ModifierFlags::command{0x100000};
inline constexpr ModifierFlags ModifierFlags::numericPad{0x200000};
inline constexpr ModifierFlags ModifierFlags::help{0x400000};
inline constexpr ModifierFlags ModifierFlags::function{0x800000};

namespace carbon {
inline constexpr std::uint32_t cmdKey = 256;
inline constexpr std::uint32_t shiftKey = 512;
inline constexpr std::uint32_t optionKey = 2048;
inline constexpr std::uint32_t controlKey = 4096;
}  // namespace carbon

// A virtual key code with Carbon modifier bits; not validated: any code and
// any bits may be stored.
struct KeyCombo {
  std::uint32_t carbonKeyCode = 0;
  std::uint32_t carbonModifiers = 0;

  constexpr KeyCombo() = default;
  constexpr KeyCombo(std::uint32_t keyCode, std::uint32_t modifierBits)
      : carbonKeyCode(keyCode), carbonModifiers(modifierBits) {}
  KeyCombo(Key key, ModifierFlags modifiers);

  std::optional<Key> key() const;
  // None stores code 0 (the code of `a`).
  void setKey(std::optional<Key> key);
  ModifierFlags modifiers() const;
  void setModifiers(ModifierFlags modifiers);

  // Modifier symbols, then the key's text when the code belongs to a key.
  QString description() const;
  // {"keyCode": code, "modifiers": bits}, both as signed 64-bit integers.
  QVariantMap dictionary() const;
  // None when a key is missing, its value is not an integer, or it does not
  // fit an unsigned 32-bit field.
  static std::optional<KeyCombo> fromDictionary(const QVariantMap& dictionary);

  friend constexpr bool operator==(const KeyCombo&, const KeyCombo&) = default;
};

}  // namespace moxi::hotkey

#include "hotkey/x11_keysyms.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <QHash>

#include <array>

namespace moxi::hotkey {

namespace {

struct KeysymInfo {
  std::uint32_t keysym;
  const char* name;     // the keysym's X name
  const char* alias;    // another X name of the same keysym, or null
};

// Indexed by the key's declaration order.
constexpr std::array<KeysymInfo, keyCount> keysymTable{{
    {XK_a, "a", nullptr}, {XK_b, "b", nullptr}, {XK_c, "c", nullptr}, {XK_d, "d", nullptr},
    {XK_e, "e", nullptr}, {XK_f, "f", nullptr}, {XK_g, "g", nullptr}, {XK_h, "h", nullptr},
    {XK_i, "i", nullptr}, {XK_j, "j", nullptr}, {XK_k, "k", nullptr}, {XK_l, "l", nullptr},
    {XK_m, "m", nullptr}, {XK_n, "n", nullptr}, {XK_o, "o", nullptr}, {XK_p, "p", nullptr},
    {XK_q, "q", nullptr}, {XK_r, "r", nullptr}, {XK_s, "s", nullptr}, {XK_t, "t", nullptr},
    {XK_u, "u", nullptr}, {XK_v, "v", nullptr}, {XK_w, "w", nullptr}, {XK_x, "x", nullptr},
    {XK_y, "y", nullptr}, {XK_z, "z", nullptr},
    {XK_0, "0", nullptr}, {XK_1, "1", nullptr}, {XK_2, "2", nullptr}, {XK_3, "3", nullptr},
    {XK_4, "4", nullptr}, {XK_5, "5", nullptr}, {XK_6, "6", nullptr}, {XK_7, "7", nullptr},
    {XK_8, "8", nullptr}, {XK_9, "9", nullptr},
    {XK_period, "period", nullptr}, {XK_apostrophe, "apostrophe", "quoteright"},
    {XK_bracketright, "bracketright", nullptr}, {XK_semicolon, "semicolon", nullptr},
    {XK_slash, "slash", nullptr}, {XK_backslash, "backslash", nullptr}, {XK_comma, "comma", nullptr},
    {XK_equal, "equal", nullptr}, {XK_grave, "grave", "quoteleft"}, {XK_bracketleft, "bracketleft", nullptr},
    {XK_minus, "minus", nullptr},
    {XK_space, "space", nullptr}, {XK_Tab, "Tab", nullptr}, {XK_Return, "Return", nullptr},
    {XK_Control_L, "Control_L", nullptr}, {XK_Control_R, "Control_R", nullptr},
    {XK_Alt_L, "Alt_L", nullptr}, {XK_Alt_R, "Alt_R", nullptr},
    {XK_Super_L, "Super_L", nullptr}, {XK_Super_R, "Super_R", nullptr},
    {XK_Shift_L, "Shift_L", nullptr}, {XK_Shift_R, "Shift_R", nullptr},
    {0, nullptr, nullptr},  // fn never reaches the X server
    {XK_Caps_Lock, "Caps_Lock", nullptr},
    {XK_Prior, "Prior", "Page_Up"}, {XK_Next, "Next", "Page_Down"}, {XK_Home, "Home", nullptr},
    {XK_End, "End", nullptr}, {XK_Up, "Up", nullptr}, {XK_Right, "Right", nullptr},
    {XK_Down, "Down", nullptr}, {XK_Left, "Left", nullptr},
    {XK_F1, "F1", nullptr}, {XK_F2, "F2", nullptr}, {XK_F3, "F3", nullptr}, {XK_F4, "F4", nullptr},
    {XK_F5, "F5", nullptr}, {XK_F6, "F6", nullptr}, {XK_F7, "F7", nullptr}, {XK_F8, "F8", nullptr},
    {XK_F9, "F9", nullptr}, {XK_F10, "F10", nullptr}, {XK_F11, "F11", nullptr}, {XK_F12, "F12", nullptr},
    {XK_F13, "F13", nullptr}, {XK_F14, "F14", nullptr}, {XK_F15, "F15", nullptr}, {XK_F16, "F16", nullptr},
    {XK_F17, "F17", nullptr}, {XK_F18, "F18", nullptr}, {XK_F19, "F19", nullptr}, {XK_F20, "F20", nullptr},
    {XK_KP_0, "KP_0", nullptr}, {XK_KP_1, "KP_1", nullptr}, {XK_KP_2, "KP_2", nullptr},
    {XK_KP_3, "KP_3", nullptr}, {XK_KP_4, "KP_4", nullptr}, {XK_KP_5, "KP_5", nullptr},
    {XK_KP_6, "KP_6", nullptr}, {XK_KP_7, "KP_7", nullptr}, {XK_KP_8, "KP_8", nullptr},
    {XK_KP_9, "KP_9", nullptr},
    {XK_Clear, "Clear", nullptr}, {XK_KP_Decimal, "KP_Decimal", nullptr},
    {XK_KP_Divide, "KP_Divide", nullptr}, {XK_KP_Enter, "KP_Enter", nullptr},
    {XK_KP_Equal, "KP_Equal", nullptr}, {XK_KP_Subtract, "KP_Subtract", nullptr},
    {XK_KP_Multiply, "KP_Multiply", nullptr}, {XK_KP_Add, "KP_Add", nullptr},
    {XK_Escape, "Escape", nullptr}, {XK_BackSpace, "BackSpace", nullptr}, {XK_Delete, "Delete", nullptr},
    {XK_Help, "Help", nullptr}, {XF86XK_AudioRaiseVolume, "XF86AudioRaiseVolume", nullptr},
    {XF86XK_AudioLowerVolume, "XF86AudioLowerVolume", nullptr}, {XF86XK_AudioMute, "XF86AudioMute", nullptr},
}};

static_assert(keysymTable[keyIndex(Key::f1)].keysym == XK_F1);
static_assert(keysymTable[keyIndex(Key::function)].keysym == 0);
static_assert(keysymTable[keyIndex(Key::capsLock)].keysym == XK_Caps_Lock);
static_assert(keysymTable[keyIndex(Key::keypad0)].keysym == XK_KP_0);
static_assert(keysymTable[keyIndex(Key::mute)].keysym == XF86XK_AudioMute);

const QHash<QString, Key>& keysymNames() {
  static const QHash<QString, Key> names = [] {
    QHash<QString, Key> n;
    for (Key key : allKeys()) {
      const KeysymInfo& info = keysymTable[keyIndex(key)];
      if (info.name) n.insert(QString::fromLatin1(info.name), key);
      if (info.alias) n.insert(QString::fromLatin1(info.alias), key);
    }
    return n;
  }();
  return names;
}

}  // namespace

std::uint32_t keysymForKey(Key key) { return keysymTable[keyIndex(key)].keysym; }

std::optional<Key> keyForKeysymName(const QString& name) {
  const auto& names = keysymNames();
  auto it = names.constFind(name);
  if (it != names.constEnd()) return *it;
  // "A" is the shifted keysym of the same key as "a".
  if (name.size() == 1 && name[0] >= u'A' && name[0] <= u'Z') {
    it = names.constFind(name.toLower());
    if (it != names.constEnd()) return *it;
  }
  return std::nullopt;
}

}  // namespace moxi::hotkey

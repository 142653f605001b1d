#pragma once
// The program's keys as X key symbols. Modifier keys follow the desktop's
// convention: command is Control, control is Super, option is Alt.
#include <QString>

#include <cstdint>
#include <optional>

#include "hotkey/key.h"

namespace moxi::hotkey {

// The X keysym of a key, or 0 when the key has none (fn).
std::uint32_t keysymForKey(Key key);
// The key named by an X keysym name ("F1", "Left", "Prior", "a" or "A");
// none for names of keysyms that are not one of the keys.
std::optional<Key> keyForKeysymName(const QString& name);

}  // namespace moxi::hotkey

#pragma once
// Pieces of the lists of combinations taken elsewhere: the window manager's
// key bindings (openbox) and the key equivalents of Qt menus.
#include <QString>
#include <Qt>

#include <optional>
#include <vector>

#include "hotkey/key.h"

class QIODevice;

namespace moxi::hotkey {

// An openbox binding such as "C-A-Left": C is command (Control), W control
// (Super), A option (Alt), S shift. None when a modifier or the key is not
// one the program knows.
std::optional<KeyCombo> openboxKeyCombo(const QString& binding);
// The top-level <keybind key="…"> entries of an openbox rc.xml, in order.
std::vector<KeyCombo> openboxKeyCombos(QIODevice& rcXml);
// The rc.xml openbox reads: the user's ($XDG_CONFIG_HOME or ~/.config), else
// the first in $XDG_CONFIG_DIRS (default /etc/xdg); empty when none exists.
QString openboxConfigPath();

// The key equivalent text of a Qt key as keyFromString understands it
// ("Q", ",", "←", "F1"); empty for keys without one.
QString keyEquivalentText(Qt::Key key);
// Control is command, Meta is control, Alt is option, Shift is shift.
ModifierFlags modifierFlags(Qt::KeyboardModifiers modifiers);

}  // namespace moxi::hotkey

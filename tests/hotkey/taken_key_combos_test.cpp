// The combinations the window manager binds: read from the user's openbox
// configuration.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>

#include "harness/test_files.h"
#include "hotkey/hot_key.h"
#include "hotkey/taken_key_combos.h"

using namespace moxi::hotkey;
using M = ModifierFlags;

// Only top-level key bindings with known keys count, in file order: not the
// rest of a chain, mouse bindings or unknown keys.
TEST(OpenboxBindings, TopLevelKeyBindingsOfTheUsersConfig) {
  QTemporaryDir dir;
  qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
  std::filesystem::create_directories(dir.filePath("openbox").toStdString());
  moxi::test::writeFile(dir.filePath("openbox/rc.xml").toStdString(), R"(<openbox_config><keyboard>
  <keybind key="C-A-Left"/><keybind key="W-e"><keybind key="C-Prior"/></keybind><keybind key="H-a"/>
  <keybind key="S-Lft"/></keyboard><mouse><mousebind button="A-Left"/></mouse></openbox_config>)");
  EXPECT_EQ(HotKeysController::symbolicHotKeyCombos(),
            (std::vector<KeyCombo>{KeyCombo(Key::leftArrow, M::command | M::option), KeyCombo(Key::e, M::control)}));
}

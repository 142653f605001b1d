// The lists of combinations taken elsewhere: window-manager bindings and the
// application's menus.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMenuBar>
#include <QTemporaryDir>
#include <filesystem>

#include "harness/qt_environment.h"
#include "harness/test_files.h"
#include "hotkey/hot_key.h"
#include "hotkey/taken_key_combos.h"

using namespace moxi::hotkey;
using M = ModifierFlags;

static auto* qt = ::testing::AddGlobalTestEnvironment(
    new moxi::test::QtEnvironment<QApplication>("taken_key_combos_test", {}, "offscreen"));

// Only top-level key bindings with known keys count, in file order: not
// chains, mouse bindings or unknown keys. A broken file gives what was read
// before the fault.
TEST(OpenboxBindings, TopLevelBindingsOfTheUsersConfigElseTheSystemsElseNone) {
  QTemporaryDir dir;
  auto writeRcXml = [&](const char* under, const std::string& content) {
    std::filesystem::create_directories(dir.filePath(under).toStdString() + "/openbox");
    moxi::test::writeFile(dir.filePath(under).toStdString() + "/openbox/rc.xml", content);
  };
  qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
  qputenv("XDG_CONFIG_DIRS", dir.filePath("system").toUtf8());
  EXPECT_TRUE(HotKeysController::symbolicHotKeyCombos().empty());
  writeRcXml("system", "<openbox_config><keyboard><keybind key=\"W-d\"/><keybind");
  EXPECT_EQ(HotKeysController::symbolicHotKeyCombos(), std::vector<KeyCombo>{KeyCombo(Key::d, M::control)});
  writeRcXml("config", R"(<openbox_config xmlns="http://openbox.org/3.4/rc"><keyboard>
  <chainQuitKey>C-g</chainQuitKey><keybind key="C-A-Left"><action name="GoToDesktop"/></keybind>
  <keybind key="W-F1"/><keybind key="Print"/><keybind key="M-x"/><keybind key="S-a-Tab"/>
  <keybind key="W-e"><keybind key="C-Prior"><action name="Execute"/></keybind></keybind><keybind key="XF86AudioMute"/>
</keyboard><mouse><context name="Frame"><mousebind button="A-Left" action="Press"/></context></mouse></openbox_config>)");
  EXPECT_EQ(HotKeysController::symbolicHotKeyCombos(),
            (std::vector<KeyCombo>{KeyCombo(Key::leftArrow, M::command | M::option), KeyCombo(Key::f1, M::control),
                                   KeyCombo(Key::tab, M::shift | M::option), KeyCombo(Key::e, M::control),
                                   KeyCombo(Key::mute, M())}));
  EXPECT_EQ(openboxKeyCombo("Mod4-Shift-Next"), KeyCombo(Key::pageDown, M::control | M::shift));
  for (const char* binding : {"", "C-", "C--", "H-a", "C-Print", "C-a-Lft"})
    EXPECT_FALSE(openboxKeyCombo(binding)) << binding;
}

// An item with a submenu counts and so does the submenu; unknown key
// equivalents add nothing of their own, but their submenus are still walked;
// every modifier maps to its own bit.
TEST(MenuKeyCombos, DepthFirstWalkOfItemsAndSubmenus) {
  QMenuBar bar;
  QMenu* file = bar.addMenu("File");
  QAction* quit = file->addAction("Quit");
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  QMenu settings;
  settings.addAction("Settings")->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
  quit->setMenu(&settings);
  QMenu* more = file->addMenu("More");
  more->menuAction()->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Print));
  more->addAction("Left")->setShortcut(QKeySequence(Qt::META | Qt::ALT | Qt::SHIFT | Qt::Key_Left));
  bar.addMenu("Edit")->addAction("Five")->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5));
  EXPECT_EQ(HotKeysController::mainMenuKeyCombos(&bar),
            (std::vector<KeyCombo>{KeyCombo(Key::q, M::command), KeyCombo(Key::comma, M::command),
                                   KeyCombo(Key::leftArrow, M::control | M::option | M::shift),
                                   KeyCombo(Key::f5, M::shift)}));
}

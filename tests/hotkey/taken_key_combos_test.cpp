// The lists of combinations taken elsewhere: window-manager bindings and the
// application's menus.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>

#include "hotkey/hot_key.h"
#include "hotkey/taken_key_combos.h"

using namespace moxi::hotkey;
using M = ModifierFlags;

namespace {

// Only top-level key bindings count: not chains, mouse bindings or unknown keys.
const char kRcXml[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc"><keyboard><chainQuitKey>C-g</chainQuitKey>
  <keybind key="C-A-Left"><action name="GoToDesktop"><to>left</to></action></keybind>
  <keybind key="W-F1"/><keybind key="Print"/><keybind key="M-x"/><keybind key="S-a-Tab"/>
  <keybind key="W-e"><keybind key="C-Prior"><action name="Execute"/></keybind></keybind><keybind key="XF86AudioMute"/>
</keyboard><mouse><context name="Frame"><mousebind button="A-Left" action="Press"/></context></mouse></openbox_config>
)";

void writeFile(const QString& dir, const QByteArray& content) {
  ASSERT_TRUE(QDir().mkpath(dir + "/openbox"));
  QFile file(dir + "/openbox/rc.xml");
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(content);
}

std::vector<KeyCombo> parse(const QByteArray& xml) {
  QBuffer buffer;
  buffer.setData(xml);
  buffer.open(QIODevice::ReadOnly);
  return openboxKeyCombos(buffer);
}

}  // namespace

TEST(OpenboxBindings, TopLevelBindingsWithKnownKeysInFileOrder) {
  const std::vector<KeyCombo> expected{KeyCombo(Key::leftArrow, M::command | M::option), KeyCombo(Key::f1, M::control),
                                       KeyCombo(Key::tab, M::shift | M::option), KeyCombo(Key::e, M::control),
                                       KeyCombo(Key::mute, M())};
  EXPECT_EQ(parse(kRcXml), expected);
  EXPECT_EQ(openboxKeyCombo("Mod4-Shift-Next"), KeyCombo(Key::pageDown, M::control | M::shift));
  for (const char* binding : {"", "C-", "C--", "H-a", "C-Print", "C-a-Lft"})
    EXPECT_FALSE(openboxKeyCombo(binding)) << binding;
  // A broken file gives what was read before the fault.
  EXPECT_EQ(parse("<openbox_config><keyboard><keybind key=\"W-d\"/><keybind").size(), 1u);
}

TEST(OpenboxBindings, SymbolicCombosComeFromTheUsersConfigElseTheSystemsElseNone) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QByteArray savedHome = qgetenv("XDG_CONFIG_HOME"), savedDirs = qgetenv("XDG_CONFIG_DIRS");
  qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
  qputenv("XDG_CONFIG_DIRS", dir.filePath("system").toUtf8());
  EXPECT_TRUE(HotKeysController::symbolicHotKeyCombos().empty());
  writeFile(dir.filePath("system"), "<openbox_config><keyboard><keybind key=\"W-d\"/></keyboard></openbox_config>");
  EXPECT_EQ(HotKeysController::symbolicHotKeyCombos(), std::vector<KeyCombo>{KeyCombo(Key::d, M::control)});
  writeFile(dir.filePath("config"), kRcXml);
  EXPECT_EQ(HotKeysController::symbolicHotKeyCombos().size(), 5u);
  qputenv("XDG_CONFIG_HOME", savedHome);
  qputenv("XDG_CONFIG_DIRS", savedDirs);
}

TEST(MenuKeyCombos, DepthFirstWalkOfItemsAndSubmenus) {
  int argc = 1;
  char name[] = "taken_key_combos_test";
  char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  EXPECT_TRUE(HotKeysController::mainMenuKeyCombos(static_cast<const QMenuBar*>(nullptr)).empty());
  EXPECT_TRUE(HotKeysController::mainMenuKeyCombos(static_cast<const QMenu*>(nullptr)).empty());

  // An item with a submenu counts and so does the submenu; unknown key
  // equivalents add nothing of their own, but their submenus are still walked;
  // every modifier maps to its own bit.
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
  more->addAction("None");
  bar.addMenu("Edit")->addAction("Five")->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5));
  file->addAction("Delete")->setShortcut(QKeySequence(Qt::Key_Backspace));
  file->addAction("Quote")->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_QuoteDbl));
  EXPECT_EQ(HotKeysController::mainMenuKeyCombos(&bar),
            (std::vector<KeyCombo>{KeyCombo(12, 256), KeyCombo(43, 256),
                                   KeyCombo(Key::leftArrow, M::control | M::option | M::shift),
                                   KeyCombo(Key::delete_, M()), KeyCombo(Key::quote, M::command),
                                   KeyCombo(Key::f5, M::shift)}));
  EXPECT_EQ(HotKeysController::mainMenuKeyCombos(&settings), std::vector<KeyCombo>{KeyCombo(43, 256)});
}

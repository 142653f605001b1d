// The lists of combinations taken elsewhere: window-manager bindings, the
// application's menus and the common menu shortcuts.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>

#include "hotkey/hot_key.h"
#include "hotkey/taken_key_combos.h"

using namespace moxi::hotkey;

namespace {

using M = ModifierFlags;

const char kRcXml[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <keyboard>
    <chainQuitKey>C-g</chainQuitKey>
    <keybind key="C-A-Left"><action name="GoToDesktop"><to>left</to></action></keybind>
    <keybind key="W-F1"><action name="GoToDesktop"><to>1</to></action></keybind>
    <keybind key="Print"><action name="Execute"/></keybind>
    <keybind key="M-x"><action name="Execute"/></keybind>
    <keybind key="S-a-Tab"><action name="NextWindow"/></keybind>
    <keybind key="W-e"><keybind key="C-Prior"><action name="Execute"/></keybind></keybind>
    <keybind key="XF86AudioMute"/>
  </keyboard>
  <mouse><context name="Frame"><mousebind button="A-Left" action="Press"/></context></mouse>
</openbox_config>
)";

void writeFile(const QString& path, const QByteArray& content) {
  ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(content);
}

std::vector<KeyCombo> parse(const QByteArray& xml) {
  QBuffer buffer;
  buffer.setData(xml);
  buffer.open(QIODevice::ReadOnly);
  return openboxKeyCombos(buffer);
}

QApplication& app() {
  static int argc = 1;
  static char name[] = "taken_key_combos_test";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication application(argc, argv);
  return application;
}

}  // namespace

TEST(OpenboxBindings, TopLevelBindingsWithKnownKeysInFileOrder) {
  const std::vector<KeyCombo> expected{
      KeyCombo(Key::leftArrow, M::command | M::option),
      KeyCombo(Key::f1, M::control),
      KeyCombo(Key::tab, M::shift | M::option),
      KeyCombo(Key::e, M::control),
      KeyCombo(Key::mute, M()),
  };
  EXPECT_EQ(parse(kRcXml), expected);
  EXPECT_EQ(openboxKeyCombo("C-A-Left"), KeyCombo(123, 256 | 2048));
  EXPECT_EQ(openboxKeyCombo("Mod4-Shift-D"), KeyCombo(Key::d, M::control | M::shift));
  EXPECT_EQ(openboxKeyCombo("C-Next"), KeyCombo(Key::pageDown, M::command));
  for (const char* binding : {"", "C-", "C--", "H-a", "C-Print", "C-a-Lft"})
    EXPECT_FALSE(openboxKeyCombo(binding)) << binding;
  // A broken file gives what was read before the fault.
  EXPECT_EQ(parse("<openbox_config><keyboard><keybind key=\"W-d\"/><keybind").size(), 1u);
}

TEST(OpenboxBindings, SymbolicCombosComeFromTheUsersConfigElseNone) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QByteArray savedHome = qgetenv("XDG_CONFIG_HOME"), savedDirs = qgetenv("XDG_CONFIG_DIRS");
  qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
  qputenv("XDG_CONFIG_DIRS", dir.filePath("system").toUtf8());
  EXPECT_TRUE(HotKeysController::symbolicHotKeyCombos().empty());

  writeFile(dir.filePath("system/openbox/rc.xml"),
            "<openbox_config><keyboard><keybind key=\"W-d\"/></keyboard></openbox_config>");
  EXPECT_EQ(HotKeysController::symbolicHotKeyCombos(), std::vector<KeyCombo>{KeyCombo(Key::d, M::control)});

  writeFile(dir.filePath("config/openbox/rc.xml"), kRcXml);
  EXPECT_EQ(HotKeysController::symbolicHotKeyCombos().size(), 5u);

  qputenv("XDG_CONFIG_HOME", savedHome);
  qputenv("XDG_CONFIG_DIRS", savedDirs);
}

TEST(MenuKeyCombos, DepthFirstWalkOfItemsAndSubmenus) {
  app();
  EXPECT_TRUE(HotKeysController::mainMenuKeyCombos(static_cast<const QMenuBar*>(nullptr)).empty());
  EXPECT_TRUE(HotKeysController::mainMenuKeyCombos(static_cast<const QMenu*>(nullptr)).empty());

  // One item with command q and a submenu holding command comma.
  QMenu menu;
  QAction* quit = menu.addAction("Quit");
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  QMenu sub;
  sub.addAction("Settings")->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
  quit->setMenu(&sub);
  EXPECT_EQ(HotKeysController::mainMenuKeyCombos(&menu),
            (std::vector<KeyCombo>{KeyCombo(12, 256), KeyCombo(43, 256)}));

  // A menu bar: unknown key equivalents add nothing of their own, but their
  // submenus are still walked; every modifier maps to its own bit.
  QMenuBar bar;
  QMenu* file = bar.addMenu("File");
  file->addAction("Apostrophe")->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Apostrophe));
  QMenu* more = file->addMenu("More");
  more->menuAction()->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Print));
  more->addAction("Left")->setShortcut(QKeySequence(Qt::META | Qt::ALT | Qt::SHIFT | Qt::Key_Left));
  more->addAction("None");
  bar.addMenu("Edit")->addAction("Five")->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5));
  file->addAction("Delete")->setShortcut(QKeySequence(Qt::Key_Backspace));
  file->addAction("Quote")->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_QuoteDbl));
  file->addAction("Run")->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return));
  EXPECT_EQ(HotKeysController::mainMenuKeyCombos(&bar),
            (std::vector<KeyCombo>{KeyCombo(Key::leftArrow, M::control | M::option | M::shift),
                                   KeyCombo(Key::delete_, M()), KeyCombo(Key::quote, M::command),
                                   KeyCombo(Key::return_, M::command), KeyCombo(Key::f5, M::shift)}));
}

// Hot keys on a real X server with openbox: xdotool presses the keys.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QTest>

#include "harness/qt_environment.h"
#include "harness/test_desktop.h"
#include "hotkey/hot_key.h"
#include "hotkey/x11_hot_key_service.h"
#include "platform/xcb.h"
#include "platform/xcb_keysyms.h"

using namespace moxi::hotkey;
using moxi::test::xdotool;

static auto* const desktopEnvironment = ::testing::AddGlobalTestEnvironment(
    new moxi::test::DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));
static auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(
    new moxi::test::QtEnvironment<QCoreApplication>("hotkey_hot_key_itest"));

namespace {

// Long enough for a stray second event to arrive after the first.
constexpr int settle = 300;  // ms

class HotKeyOnX : public ::testing::Test {
 protected:
  void SetUp() override {
    // A fresh connection per test: the previous test's grabs go with the old one.
    auto service = std::make_unique<X11HotKeyService>();
    ASSERT_TRUE(service->isAvailable());
    HotKeysController::setService(std::move(service));
  }

  int downs = 0;
  int ups = 0;
};

}  // namespace

TEST_F(HotKeyOnX, CommandF1CallsKeyDownOnceAlsoWithLocksAndHeldAndKeyUpOnRelease) {
  auto hotKey = HotKey::create(Key::f1, ModifierFlags::command, [this] { ++downs; }, [this] { ++ups; });
  ASSERT_TRUE(HotKeysController::carbonHotKeyID(*hotKey));

  // Locks change the event's modifier state but not the combination:
  // none, NumLock, both, CapsLock, then neither again.
  for (const char* lock : {"", "Num_Lock", "Caps_Lock", "Num_Lock", "Caps_Lock"}) {
    SCOPED_TRACE(lock);
    const int before = downs;
    if (*lock) xdotool({"key", lock});
    xdotool({"key", "ctrl+F1"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return downs == before + 1; }, 5000)) << downs;
  }
  constexpr int expected = 5;  // one each, checked after the settle below

  // Other modifiers make another combination; each modifier is grabbed as
  // its own X modifier: Option is Alt (Mod1), not Super.
  int optionDowns = 0;
  auto option = HotKey::create(Key::f5, ModifierFlags::option, [&] { ++optionDowns; });
  xdotool({"key", "ctrl+shift+F1", "alt+F1", "F1", "super+F5"});
  QTest::qWait(settle);
  EXPECT_EQ(downs, expected);
  EXPECT_EQ(optionDowns, 0);
  xdotool({"key", "alt+F5"});
  EXPECT_TRUE(QTest::qWaitFor([&] { return optionDowns == 1; }, 5000)) << optionDowns;

  // Held past the server's auto-repeat delay: one press, one release.
  ups = 0;
  xdotool({"keydown", "ctrl+F1"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return downs == expected + 1; }, 5000));
  QTest::qWait(1200);
  EXPECT_EQ(std::pair(downs, ups), std::pair(expected + 1, 0));
  xdotool({"keyup", "ctrl+F1"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return ups == 1; }, 5000));
  QTest::qWait(settle);
  EXPECT_EQ(std::pair(downs, ups), std::pair(expected + 1, 1));
}

TEST_F(HotKeyOnX, CombinationGrabbedByAnotherClientOrAlreadyOursIsRefused) {
  moxi::xcb::Connection other;
  ASSERT_TRUE(other.ok());
  moxi::xcb::KeySymbols keysyms(xcb_key_symbols_alloc(other.get()));
  moxi::xcb::Reply<xcb_keycode_t> f2(xcb_key_symbols_get_keycode(keysyms.get(), 0xffbf /* F2 */));
  ASSERT_TRUE(f2 && f2.get()[0] != XCB_NO_SYMBOL);
  auto grab = [&](std::uint16_t mask) {
    return !moxi::xcb::check(other.get(), xcb_grab_key_checked(other.get(), 0, other.root(), mask, f2.get()[0],
                                                                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
  };
  ASSERT_TRUE(grab(XCB_MOD_MASK_CONTROL));
  auto& service = HotKeysController::service();
  EXPECT_NE(service.registerHotKey(carbonKeyCode(Key::f2), 256, {HotKeysController::signature, 77}).status,
            status::noErr);
  // The variants granted before the refusal were given back: the other client can take them.
  EXPECT_TRUE(grab(XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_LOCK));

  auto first = HotKey::create(Key::f3, ModifierFlags::command);
  EXPECT_EQ(service.registerHotKey(carbonKeyCode(Key::f3), 256, {HotKeysController::signature, 78}).status,
            status::hotKeyExists);
}

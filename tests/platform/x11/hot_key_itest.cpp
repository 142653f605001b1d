// Hot keys on a real X server with openbox: xdotool presses the keys, and
// another client takes a combination first.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QTest>

#include "harness/qt_environment.h"
#include "harness/test_desktop.h"
#include "hotkey/hot_key.h"
#include "platform/x11/x11_hot_key_service.h"
#include "platform/x11/xcb.h"
#include "platform/x11/xcb_keysyms.h"

using namespace moxi::hotkey;
using moxi::test::xdotool;

static auto* const desktopEnvironment = ::testing::AddGlobalTestEnvironment(
    new moxi::test::DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));
static auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(
    new moxi::test::QtEnvironment<QCoreApplication>("platform_x11_hot_key_itest"));

TEST(HotKeyOnX, OneKeyDownWithLocksAndHeldAndATakenCombinationIsRefused) {
  auto x11 = std::make_unique<X11HotKeyService>();
  ASSERT_TRUE(x11->isAvailable());
  HotKeysController::setService(std::move(x11));
  int downs = 0, optionDowns = 0;
  auto hotKey = HotKey::create(Key::f1, ModifierFlags::command, [&] { ++downs; });
  ASSERT_TRUE(HotKeysController::carbonHotKeyID(*hotKey));

  // Locks change the event's modifier state but not the combination:
  // none, NumLock, both, CapsLock, then neither again.
  for (const char* lock : {"", "Num_Lock", "Caps_Lock", "Num_Lock", "Caps_Lock"}) {
    const int before = downs;
    if (*lock) xdotool({"key", lock});
    xdotool({"key", "ctrl+F1"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return downs == before + 1; }, 5000)) << lock;
  }

  // Other modifiers make another combination; each modifier is grabbed as
  // its own X modifier: Option is Alt (Mod1), not Super. The wait lets a
  // stray event arrive.
  auto option = HotKey::create(Key::f5, ModifierFlags::option, [&] { ++optionDowns; });
  xdotool({"key", "ctrl+shift+F1", "alt+F1", "F1", "super+F5"});
  QTest::qWait(300);
  EXPECT_EQ(std::pair(downs, optionDowns), std::pair(5, 0));
  xdotool({"key", "alt+F5"});
  EXPECT_TRUE(QTest::qWaitFor([&] { return optionDowns == 1; }, 5000)) << optionDowns;

  // Held past the server's auto-repeat delay: one press.
  xdotool({"keydown", "ctrl+F1"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return downs == 6; }, 5000));
  QTest::qWait(1200);
  xdotool({"keyup", "ctrl+F1"});
  QTest::qWait(300);
  EXPECT_EQ(downs, 6);

  // Control+F2 taken by another client: refused, and the variants granted
  // before the refusal are given back, so the other client can take them.
  moxi::xcb::Connection other;
  moxi::xcb::KeySymbols keysyms(xcb_key_symbols_alloc(other.get()));
  moxi::xcb::Reply<xcb_keycode_t> f2(xcb_key_symbols_get_keycode(keysyms.get(), 0xffbf /* F2 */));
  ASSERT_TRUE(other.ok() && f2 && f2.get()[0] != XCB_NO_SYMBOL);
  auto grab = [&](std::uint16_t mask) {
    return !moxi::xcb::check(other.get(), xcb_grab_key_checked(other.get(), 0, other.root(), mask, f2.get()[0],
                                                                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
  };
  ASSERT_TRUE(grab(XCB_MOD_MASK_CONTROL));
  auto& service = HotKeysController::service();
  EXPECT_NE(service.registerHotKey(carbonKeyCode(Key::f2), 256, {HotKeysController::signature, 77}).status,
            status::noErr);
  EXPECT_TRUE(grab(XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_LOCK));
}

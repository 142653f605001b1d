// Dispatch and release of a hot key, against a fake service.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "hotkey/hot_key.h"
#include "hotkey/hot_key_service.h"

using namespace moxi::hotkey;

namespace {

// Grants every combination, notes what is still granted, and delivers events
// on request.
class FakeHotKeyService : public HotKeyService {
 public:
  HotKeyRegistration registerHotKey(std::uint32_t, std::uint32_t, HotKeyID) override {
    active.insert(nextRef_);
    return {status::noErr, nextRef_++};
  }
  void unregisterHotKey(HotKeyRef ref) override {
    EXPECT_EQ(active.erase(ref), 1u) << "given back twice, or never granted";
  }
  std::optional<HandlerRef> installHandler(Handler handler) override {
    handler_ = std::move(handler);
    return HandlerRef{1};
  }
  // Sends an event to the installed handler, as the system would.
  OSStatus send(std::uint32_t id, std::uint32_t kind = eventKind::hotKeyPressed,
                std::uint32_t signature = HotKeysController::signature) {
    return handler_ ? handler_(HotKeyEvent{{signature, id}, kind, status::noErr}) : status::eventNotHandled;
  }

  std::set<HotKeyRef> active;  // granted and not yet given back

 private:
  Handler handler_;
  HotKeyRef nextRef_ = 100;
};

}  // namespace

TEST(HotKey, OnlyItsOwnPressRunsTheHandlerAndTheReleaseGivesBackTheGrantAndStopsLateEvents) {
  auto* fake = new FakeHotKeyService;
  HotKeysController::setService(std::unique_ptr<HotKeyService>(fake));
  int downs = 0;
  auto hotKey = HotKey::create(Key::f1, ModifierFlags::command, [&] { ++downs; });
  const std::uint32_t id = HotKeysController::carbonHotKeyID(*hotKey).value_or(0);
  EXPECT_EQ(fake->send(id), status::noErr);
  EXPECT_EQ(downs, 1);

  // Its key-up (no handler), other kinds, other signatures and other IDs.
  const std::uint32_t pressed = eventKind::hotKeyPressed, sig = HotKeysController::signature;
  const std::tuple<std::uint32_t, std::uint32_t, std::uint32_t> others[] = {
      {id, eventKind::hotKeyReleased, sig}, {id, 7, sig}, {id, pressed, 0x41424344}, {id + 1, pressed, sig}};
  for (const auto& [to, kind, signature] : others) EXPECT_EQ(fake->send(to, kind, signature), status::eventNotHandled);

  // An event that comes after the release finds no handler (the toggler's
  // handler would use a destroyed toggler).
  hotKey.reset();
  EXPECT_EQ(fake->send(id), status::eventNotHandled);
  EXPECT_EQ(downs, 1);
  EXPECT_TRUE(fake->active.empty());
}

// Registration, IDs and dispatch of hot keys, against a fake service.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <tuple>

#include "hotkey/hot_key.h"
#include "hotkey/hot_key_service.h"

using namespace moxi::hotkey;

namespace {

// Grants every combination but `refused`, notes what it is asked, and
// delivers events on request.
class FakeHotKeyService : public HotKeyService {
 public:
  HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyID id) override {
    last = {KeyCombo(keyCode, modifiers), id};
    if (refused == KeyCombo(keyCode, modifiers)) return {status::hotKeyExists, {}};
    active.insert(nextRef_);
    return {status::noErr, nextRef_++};
  }
  void unregisterHotKey(HotKeyRef ref) override {
    EXPECT_EQ(active.erase(ref), 1u) << "given back twice, or never granted";
    if (onUnregister) onUnregister();
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

  std::optional<KeyCombo> refused;                          // a combination the system turns down
  std::pair<KeyCombo, HotKeyID> last;                       // the last registerHotKey
  std::set<HotKeyRef> active;                               // granted and not yet given back
  std::function<void()> onUnregister;  // runs inside unregisterHotKey

 private:
  Handler handler_;
  HotKeyRef nextRef_ = 100;
};

std::uint32_t idOf(const std::shared_ptr<HotKey>& hotKey) {
  return HotKeysController::carbonHotKeyID(*hotKey).value_or(0);
}

}  // namespace

TEST(HotKey, IdsCountUpDispatchFindsTheHandlerOfTheKindAndPausesAndReleasesGiveBackWhatWasGranted) {
  auto* fake = new FakeHotKeyService;
  HotKeysController::setService(std::unique_ptr<HotKeyService>(fake));
  int downs = 0, ups = 0;
  HotKey::Handler down = [&] { ++downs; }, up = [&] { ++ups; };
  fake->refused = KeyCombo(Key::f2, ModifierFlags::command);
  auto refused = HotKey::create(Key::f2, ModifierFlags::command, down);
  auto both = HotKey::create(Key::f1, ModifierFlags::command, down, up);
  std::shared_ptr<HotKey> once;
  once = HotKey::create(120, 768, [&] { once.reset(); });  // releases itself
  auto downOnly = HotKey::create(Key::f3, ModifierFlags::command, down);
  // A refusal keeps its box and its ID.
  const std::uint32_t id = idOf(both), onceId = idOf(once), downOnlyId = idOf(downOnly);
  EXPECT_EQ((std::vector{idOf(refused), id, onceId, downOnlyId}), (std::vector{1u, 2u, 3u, 4u}));
  EXPECT_EQ(fake->last, (std::pair{KeyCombo(99, 256), HotKeyID{0x5A71486B, 4}}));

  EXPECT_EQ(fake->send(id), status::noErr);
  EXPECT_EQ(fake->send(id, eventKind::hotKeyReleased), status::noErr);
  EXPECT_EQ(std::pair(downs, ups), std::pair(1, 1));
  const std::uint32_t pressed = eventKind::hotKeyPressed, sig = HotKeysController::signature;
  const std::tuple<std::uint32_t, std::uint32_t, std::uint32_t> others[] = {
      {downOnlyId, eventKind::hotKeyReleased, sig}, {id, 7, sig}, {id, pressed, 0x41424344}, {99, pressed, sig}};
  for (const auto& [to, kind, signature] : others) EXPECT_EQ(fake->send(to, kind, signature), status::eventNotHandled);
  EXPECT_EQ(fake->send(onceId), status::noErr);
  EXPECT_EQ(fake->send(onceId), status::eventNotHandled);

  // Each grant is given back once (the fake checks); an event still in
  // flight is passed on.
  both->setPaused(true);
  both->setPaused(true);
  EXPECT_EQ(fake->send(id), status::eventNotHandled);
  both->setPaused(false);

  OSStatus during = status::noErr;
  fake->onUnregister = [&] { during = fake->send(downOnlyId); };  // hot key gone, box not yet
  downOnly.reset();
  fake->onUnregister = nullptr;
  EXPECT_EQ(during, status::eventNotHandled);
  EXPECT_FALSE(HotKeysController::hasBox(downOnlyId));
  EXPECT_EQ(fake->active.size(), 1u);  // only the one going on
}

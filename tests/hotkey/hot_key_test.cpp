// Registration, IDs and dispatch of hot keys, against a fake service.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <tuple>

#include "hotkey/hot_key.h"
#include "hotkey/hot_key_service.h"

using namespace moxi::hotkey;

namespace {

// Records what it is asked and delivers events on request.
class FakeHotKeyService : public HotKeyService {
 public:
  HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyID id) override {
    registered.push_back({KeyCombo(keyCode, modifiers), id});
    if (refused == KeyCombo(keyCode, modifiers)) return {status::hotKeyExists, {}};
    active.insert(nextRef_);
    return {status::noErr, nextRef_++};
  }
  void unregisterHotKey(HotKeyRef ref) override {
    ++unregisters;
    active.erase(ref);
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
  std::vector<std::pair<KeyCombo, HotKeyID>> registered;  // every registerHotKey, in order
  std::set<HotKeyRef> active;                               // granted and not yet given back
  int unregisters = 0;
  std::function<void()> onUnregister;  // runs inside unregisterHotKey

 private:
  Handler handler_;
  HotKeyRef nextRef_ = 100;
};

class HotKeyTest : public ::testing::Test {
 protected:
  void SetUp() override { HotKeysController::setService(std::unique_ptr<HotKeyService>(fake = new FakeHotKeyService)); }
  void TearDown() override { HotKeysController::setService(std::make_unique<FakeHotKeyService>()); }
  static std::uint32_t idOf(const std::shared_ptr<HotKey>& hotKey) {
    return HotKeysController::carbonHotKeyID(*hotKey).value_or(0);
  }

  FakeHotKeyService* fake = nullptr;
  int downs = 0, ups = 0;
  HotKey::Handler down = [this] { ++downs; }, up = [this] { ++ups; };
};

}  // namespace

TEST_F(HotKeyTest, IdsCountUpAndPauseGivesBackWhatWasGrantedAndAsksAgainWithANewId) {
  fake->refused = KeyCombo(Key::f2, ModifierFlags::command);
  auto refused = HotKey::create(Key::f2, ModifierFlags::command, down);
  auto first = HotKey::create(Key::f1, ModifierFlags::command, down);
  auto second = HotKey::create(120, 768, down, up);
  EXPECT_EQ(fake->registered[1], (std::pair{KeyCombo(122, 256), HotKeyID{0x5A71486B, 2}}));
  EXPECT_EQ((std::vector{idOf(refused), idOf(first), idOf(second)}), (std::vector{1u, 2u, 3u}));
  EXPECT_FALSE(refused->isPaused());  // a refusal keeps its box

  first->setPaused(false);  // running already: nothing changes
  refused->setPaused(false);
  EXPECT_EQ(fake->registered.size(), 3u);
  first->setPaused(true);
  first->setPaused(true);
  refused->setPaused(true);  // nothing to give back
  EXPECT_EQ(fake->unregisters, 1);
  first->setPaused(false);
  refused->setPaused(false);
  EXPECT_EQ(idOf(first), 4u);
  EXPECT_EQ(fake->registered.back().second.id, 5u);
  EXPECT_EQ(fake->active.size(), 2u);
}

TEST_F(HotKeyTest, DispatchSelectsTheHandlerOfTheKindAndPassesOnEverythingElse) {
  auto both = HotKey::create(Key::f1, ModifierFlags::command, down, up);
  auto downOnly = HotKey::create(Key::f2, ModifierFlags::command, down);
  const std::uint32_t id = idOf(both);
  EXPECT_EQ(fake->send(id), status::noErr);
  EXPECT_EQ(fake->send(id, eventKind::hotKeyReleased), status::noErr);
  EXPECT_EQ(std::pair(downs, ups), std::pair(1, 1));

  const std::uint32_t pressed = eventKind::hotKeyPressed, sig = HotKeysController::signature;
  const std::tuple<std::uint32_t, std::uint32_t, std::uint32_t> others[] = {
      {idOf(downOnly), eventKind::hotKeyReleased, sig}, {id, 7, sig}, {id, pressed, 0x41424344}, {99, pressed, sig}};
  for (const auto& [to, kind, signature] : others) EXPECT_EQ(fake->send(to, kind, signature), status::eventNotHandled);
  EXPECT_EQ(HotKeysController::handleHotKeyEvent(nullptr), status::eventNotHandled);
  HotKeyEvent unreadable{{sig, id}, pressed, -50};
  EXPECT_EQ(HotKeysController::handleHotKeyEvent(&unreadable), -50);
  both->setPaused(true);  // an event still in flight is passed on
  EXPECT_EQ(fake->send(id), status::eventNotHandled);
  EXPECT_EQ(std::pair(downs, ups), std::pair(1, 1));
}

TEST_F(HotKeyTest, ReleaseUnregistersEvenFromItsOwnHandlerAndAnEventMeanwhileFindsNoBox) {
  std::shared_ptr<HotKey> hotKey;
  hotKey = HotKey::create(Key::f1, ModifierFlags::command, [&] { hotKey.reset(); });
  auto other = HotKey::create(Key::f2, ModifierFlags::command, down);
  const std::uint32_t id = idOf(hotKey), otherId = idOf(other);
  EXPECT_EQ(fake->send(id), status::noErr);
  EXPECT_EQ(fake->send(id), status::eventNotHandled);

  OSStatus during = status::noErr;
  fake->onUnregister = [&] { during = fake->send(otherId); };  // hot key gone, box not yet
  other.reset();
  EXPECT_EQ(during, status::eventNotHandled);
  EXPECT_FALSE(HotKeysController::hasBox(otherId));
  EXPECT_TRUE(fake->active.empty());
}

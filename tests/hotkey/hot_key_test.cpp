// Registration, IDs and dispatch of hot keys, against the fake service.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "hotkey/hot_key.h"
#include "hotkey/hot_key_service.h"

using namespace moxi::hotkey;

namespace {

// A hot-key service that records what it is asked and delivers events on request.
class FakeHotKeyService : public HotKeyService {
 public:
  struct Call {
    std::uint32_t keyCode;
    std::uint32_t modifiers;
    HotKeyID hotKeyID;
  };

  HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyID id) override {
    const Call call{keyCode, modifiers, id};
    registerCalls.push_back(call);
    if (std::find(refused.begin(), refused.end(), KeyCombo(keyCode, modifiers)) != refused.end())
      return {status::hotKeyExists, {}};
    const HotKeyRef ref = nextRef_++;
    active[ref] = call;
    return {status::noErr, ref};
  }
  void unregisterHotKey(HotKeyRef ref) override {
    unregisterCalls.push_back(ref);
    active.erase(ref);
    if (onUnregister) onUnregister(ref);
  }
  std::optional<HandlerRef> installHandler(Handler handler) override {
    ++installCalls;
    handler_ = std::move(handler);
    return HandlerRef{1};
  }

  // Sends an event to the installed handler, as the system would.
  OSStatus send(std::uint32_t id, std::uint32_t kind, std::uint32_t signature = HotKeysController::signature) {
    return handler_ ? handler_(HotKeyEvent{{signature, id}, kind, status::noErr}) : status::eventNotHandled;
  }
  OSStatus press(std::uint32_t id) { return send(id, eventKind::hotKeyPressed); }
  OSStatus release(std::uint32_t id) { return send(id, eventKind::hotKeyReleased); }

  std::vector<KeyCombo> refused;          // combinations the system turns down
  std::vector<Call> registerCalls;         // every registerHotKey, in order
  std::vector<HotKeyRef> unregisterCalls;  // every unregisterHotKey, in order
  std::map<HotKeyRef, Call> active;        // granted and not yet given back
  int installCalls = 0;
  std::function<void(HotKeyRef)> onUnregister;  // runs inside unregisterHotKey

 private:
  Handler handler_;
  HotKeyRef nextRef_ = 100;
};

class HotKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto service = std::make_unique<FakeHotKeyService>();
    fake = service.get();
    HotKeysController::setService(std::move(service));
  }
  void TearDown() override { HotKeysController::setService(std::make_unique<FakeHotKeyService>()); }

  std::uint32_t idOf(const std::shared_ptr<HotKey>& hotKey) {
    return HotKeysController::carbonHotKeyID(*hotKey).value_or(0);
  }

  FakeHotKeyService* fake = nullptr;
  int downs = 0;
  int ups = 0;
  HotKey::Handler down = [this] { ++downs; };
  HotKey::Handler up = [this] { ++ups; };
};

}  // namespace

TEST_F(HotKeyTest, IdsCountUpAndResumeTakesANewOne) {
  auto first = HotKey::create(Key::f1, ModifierFlags::command, down);
  auto second = HotKey::create(120, 768, down, up);
  EXPECT_EQ(idOf(first), 1u);
  EXPECT_EQ(idOf(second), 2u);
  ASSERT_EQ(fake->registerCalls.size(), 2u);
  EXPECT_EQ(fake->registerCalls[0].keyCode, 122u);
  EXPECT_EQ(fake->registerCalls[0].modifiers, 256u);
  EXPECT_EQ(fake->registerCalls[0].hotKeyID, (HotKeyID{0x5A71486B, 1}));

  first->setPaused(false);  // running already: nothing changes
  EXPECT_EQ(fake->registerCalls.size(), 2u);
  first->setPaused(true);
  first->setPaused(true);
  EXPECT_EQ(fake->unregisterCalls.size(), 1u);
  EXPECT_FALSE(HotKeysController::carbonHotKeyID(*first));
  first->setPaused(false);
  EXPECT_EQ(idOf(first), 3u);
  EXPECT_EQ(fake->active.size(), 2u);
  EXPECT_EQ(fake->installCalls, 1);
}

TEST_F(HotKeyTest, RefusedRegistrationKeepsItsBoxAndAsksAgainOnlyAfterPause) {
  fake->refused.push_back(KeyCombo(Key::f2, ModifierFlags::command));
  auto hotKey = HotKey::create(Key::f2, ModifierFlags::command, down);
  EXPECT_EQ(idOf(hotKey), 1u);
  EXPECT_FALSE(hotKey->isPaused());
  EXPECT_EQ(fake->installCalls, 0);  // nothing granted, so no handler yet

  hotKey->setPaused(false);
  EXPECT_EQ(fake->registerCalls.size(), 1u);
  hotKey->setPaused(true);
  EXPECT_TRUE(fake->unregisterCalls.empty());  // nothing to give back
  hotKey->setPaused(false);
  ASSERT_EQ(fake->registerCalls.size(), 2u);
  EXPECT_EQ(fake->registerCalls[1].hotKeyID.id, 2u);

  auto granted = HotKey::create(Key::f1, ModifierFlags::command, down);
  EXPECT_EQ(fake->installCalls, 1);
}

TEST_F(HotKeyTest, DispatchSelectsTheHandlerOfTheKind) {
  auto both = HotKey::create(Key::f1, ModifierFlags::command, down, up);
  auto downOnly = HotKey::create(Key::f2, ModifierFlags::command, down);
  const std::uint32_t id = idOf(both);

  EXPECT_EQ(fake->press(id), status::noErr);
  EXPECT_EQ(downs, 1);
  EXPECT_EQ(ups, 0);
  EXPECT_EQ(fake->release(id), status::noErr);
  EXPECT_EQ(ups, 1);
  EXPECT_EQ(downs, 1);

  EXPECT_EQ(fake->release(idOf(downOnly)), status::eventNotHandled);
  EXPECT_EQ(fake->send(id, 7), status::eventNotHandled);
  EXPECT_EQ(fake->send(id, eventKind::hotKeyPressed, 0x41424344), status::eventNotHandled);
  EXPECT_EQ(fake->press(99), status::eventNotHandled);
  EXPECT_EQ(HotKeysController::handleHotKeyEvent(nullptr), status::eventNotHandled);
  HotKeyEvent unreadable{{HotKeysController::signature, id}, eventKind::hotKeyPressed, -50};
  EXPECT_EQ(HotKeysController::handleHotKeyEvent(&unreadable), -50);
  both->setPaused(true);  // an event still in flight is passed on
  EXPECT_EQ(fake->press(id), status::eventNotHandled);
  EXPECT_EQ(downs, 1);
  EXPECT_EQ(ups, 1);
}

TEST_F(HotKeyTest, ReleaseUnregistersAndAnEventMeanwhileDropsTheStaleBox) {
  auto hotKey = HotKey::create(Key::f1, ModifierFlags::command, down);
  const std::uint32_t id = idOf(hotKey);
  OSStatus during = status::noErr;
  fake->onUnregister = [&](HotKeyRef) { during = fake->press(id); };  // hot key gone, box not yet
  hotKey.reset();
  EXPECT_EQ(fake->unregisterCalls.size(), 1u);
  EXPECT_TRUE(fake->active.empty());
  EXPECT_EQ(during, status::eventNotHandled);
  EXPECT_FALSE(HotKeysController::hasBox(id));
  EXPECT_EQ(fake->press(id), status::eventNotHandled);
  EXPECT_EQ(downs, 0);
}

TEST_F(HotKeyTest, HandlerMayReleaseItsOwnHotKey) {
  std::shared_ptr<HotKey> hotKey;
  hotKey = HotKey::create(Key::f1, ModifierFlags::command, [&] {
    hotKey.reset();
    ++downs;
  });
  const std::uint32_t id = fake->registerCalls.back().hotKeyID.id;
  EXPECT_EQ(fake->press(id), status::noErr);
  EXPECT_EQ(downs, 1);
  EXPECT_TRUE(fake->active.empty());
  EXPECT_EQ(fake->press(id), status::eventNotHandled);
}

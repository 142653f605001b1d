#include "hotkey/hot_key.h"

#include <limits>
#include <map>

#include "common/log.h"

namespace moxi::hotkey {

namespace {

struct HotKeyBox {
  QUuid identifier;
  std::weak_ptr<HotKey> hotKey;
  std::uint32_t carbonHotKeyID = 0;
  std::optional<HotKeyRef> carbonEventHotKey;
};

struct RegistryState {
  std::map<std::uint32_t, HotKeyBox> boxes;
  std::uint32_t idCounter = 0;
  std::optional<HotKeyService::HandlerRef> eventHandler;
  std::unique_ptr<HotKeyService> service;
};

// Never destroyed: hot keys held by other static objects may be released
// during exit, after function-local statics are gone.
RegistryState& state() {
  static RegistryState* s = new RegistryState;
  return *s;
}

HotKeyBox* boxFor(const QUuid& identifier) {
  for (auto& [id, box] : state().boxes)
    if (box.identifier == identifier) return &box;
  return nullptr;
}

void installEventHandlerIfNeeded() {
  RegistryState& s = state();
  if (s.idCounter == 0 || s.eventHandler) return;
  s.eventHandler = HotKeysController::service().installHandler(
      [](const HotKeyEvent& event) { return HotKeysController::handleHotKeyEvent(&event); });
}

}  // namespace

HotKey::HotKey(Private, KeyCombo keyCombo, Handler keyDownHandler, Handler keyUpHandler)
    : identifier_(QUuid::createUuid()),
      keyCombo_(keyCombo),
      keyDownHandler_(std::move(keyDownHandler)),
      keyUpHandler_(std::move(keyUpHandler)) {}

HotKey::~HotKey() { HotKeysController::unregisterHotKey(*this); }

std::shared_ptr<HotKey> HotKey::create(KeyCombo keyCombo, Handler keyDownHandler, Handler keyUpHandler) {
  auto hotKey = std::make_shared<HotKey>(Private{}, keyCombo, std::move(keyDownHandler), std::move(keyUpHandler));
  HotKeysController::registerHotKey(hotKey);
  return hotKey;
}

std::shared_ptr<HotKey> HotKey::create(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers,
                                       Handler keyDownHandler, Handler keyUpHandler) {
  return create(KeyCombo(carbonKeyCode, carbonModifiers), std::move(keyDownHandler), std::move(keyUpHandler));
}

std::shared_ptr<HotKey> HotKey::create(Key key, ModifierFlags modifiers, Handler keyDownHandler,
                                       Handler keyUpHandler) {
  return create(KeyCombo(key, modifiers), std::move(keyDownHandler), std::move(keyUpHandler));
}

void HotKey::setPaused(bool paused) {
  isPaused_ = paused;
  if (paused) HotKeysController::unregisterHotKey(*this);
  else HotKeysController::registerHotKey(shared_from_this());
}

void HotKeysController::registerHotKey(const std::shared_ptr<HotKey>& hotKey) {
  if (!hotKey || boxFor(hotKey->identifier())) return;
  RegistryState& s = state();
  if (s.idCounter == std::numeric_limits<std::uint32_t>::max()) {
    // Reusing an ID could route one hot key's events to another.
    logLine("hot key IDs exhausted, not registering");
    return;
  }
  const std::uint32_t id = ++s.idCounter;
  // The box goes in before the system is asked and stays if it refuses.
  s.boxes[id] = HotKeyBox{hotKey->identifier(), hotKey, id, std::nullopt};
  const KeyCombo combo = hotKey->keyCombo();
  HotKeyRegistration registration = service().registerHotKey(combo.carbonKeyCode, combo.carbonModifiers,
                                                              HotKeyID{signature, id});
  if (registration.status != status::noErr || !registration.ref) return;
  if (auto it = s.boxes.find(id); it != s.boxes.end()) {
    it->second.carbonEventHotKey = registration.ref;
  } else {
    // The box went while the service was busy: do not keep a grab nobody owns.
    service().unregisterHotKey(*registration.ref);
    return;
  }
  installEventHandlerIfNeeded();
}

void HotKeysController::unregisterHotKey(const HotKey& hotKey) {
  HotKeyBox* box = boxFor(hotKey.identifier());
  if (!box) return;
  const std::uint32_t id = box->carbonHotKeyID;
  const std::optional<HotKeyRef> ref = box->carbonEventHotKey;
  box->hotKey.reset();
  // A refused registration holds no reference: nothing to give back.
  if (ref) service().unregisterHotKey(*ref);
  state().boxes.erase(id);
}

std::shared_ptr<HotKey> HotKeysController::hotKeyForCarbonID(std::uint32_t id) {
  RegistryState& s = state();
  auto it = s.boxes.find(id);
  if (it != s.boxes.end()) {
    if (auto hotKey = it->second.hotKey.lock()) return hotKey;
    s.boxes.erase(it);
  }
  return nullptr;
}

std::optional<std::uint32_t> HotKeysController::carbonHotKeyID(const HotKey& hotKey) {
  if (const HotKeyBox* box = boxFor(hotKey.identifier())) return box->carbonHotKeyID;
  return std::nullopt;
}

bool HotKeysController::hasBox(std::uint32_t id) { return state().boxes.contains(id); }

OSStatus HotKeysController::handleHotKeyEvent(const HotKeyEvent* event) {
  if (!event) return status::eventNotHandled;
  if (event->parameterStatus != status::noErr) return event->parameterStatus;
  if (event->hotKeyID.signature != signature) return status::eventNotHandled;
  // Held for the call, so that a handler may release its own hot key.
  std::shared_ptr<HotKey> hotKey = hotKeyForCarbonID(event->hotKeyID.id);
  if (!hotKey) return status::eventNotHandled;
  const HotKey::Handler* handler = nullptr;
  if (event->kind == eventKind::hotKeyReleased) handler = &hotKey->keyUpHandler();
  else if (event->kind == eventKind::hotKeyPressed) handler = &hotKey->keyDownHandler();
  else return status::eventNotHandled;
  if (hotKey->isPaused() || !*handler) return status::eventNotHandled;
  (*handler)();
  return status::noErr;
}

void HotKeysController::setService(std::unique_ptr<HotKeyService> service) {
  RegistryState& s = state();
  s.boxes.clear();
  s.idCounter = 0;
  s.eventHandler.reset();
  s.service = std::move(service);
}

namespace {
// Until the platform gives one: every registration is refused.
class NoHotKeyService final : public HotKeyService {
 public:
  HotKeyRegistration registerHotKey(std::uint32_t, std::uint32_t, HotKeyID) override {
    return {status::serviceUnavailable, std::nullopt};
  }
  void unregisterHotKey(HotKeyRef) override {}
  std::optional<HandlerRef> installHandler(Handler) override { return std::nullopt; }
};
}  // namespace

HotKeyService& HotKeysController::service() {
  RegistryState& s = state();
  if (!s.service) s.service = std::make_unique<NoHotKeyService>();
  return *s.service;
}

}  // namespace moxi::hotkey

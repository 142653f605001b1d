#pragma once
// Shared by the hot-key tests: a hot-key service that records what it is
// asked and delivers events on request.
#include <functional>
#include <map>
#include <vector>

#include "hotkey/hot_key.h"
#include "hotkey/hot_key_service.h"

namespace moxi::hotkey::test {

class FakeHotKeyService : public HotKeyService {
 public:
  struct Call {
    std::uint32_t keyCode;
    std::uint32_t modifiers;
    HotKeyID hotKeyID;
  };

  HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyID id) override;
  void unregisterHotKey(HotKeyRef ref) override;
  std::optional<HandlerRef> installHandler(Handler handler) override;

  // Sends an event to the installed handler, as the system would.
  OSStatus send(std::uint32_t id, std::uint32_t kind, std::uint32_t signature = HotKeysController::signature);
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

}  // namespace moxi::hotkey::test

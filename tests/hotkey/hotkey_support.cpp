#include "hotkey_support.h"

#include <algorithm>

namespace moxi::hotkey::test {

HotKeyRegistration FakeHotKeyService::registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyID id) {
  const Call call{keyCode, modifiers, id};
  registerCalls.push_back(call);
  if (std::find(refused.begin(), refused.end(), KeyCombo(keyCode, modifiers)) != refused.end())
    return {status::hotKeyExists, {}};
  const HotKeyRef ref = nextRef_++;
  active[ref] = call;
  return {status::noErr, ref};
}

void FakeHotKeyService::unregisterHotKey(HotKeyRef ref) {
  unregisterCalls.push_back(ref);
  active.erase(ref);
  if (onUnregister) onUnregister(ref);
}

std::optional<HotKeyService::HandlerRef> FakeHotKeyService::installHandler(Handler handler) {
  ++installCalls;
  handler_ = std::move(handler);
  return HandlerRef{1};
}

OSStatus FakeHotKeyService::send(std::uint32_t id, std::uint32_t kind, std::uint32_t signature) {
  if (!handler_) return status::eventNotHandled;
  return handler_(HotKeyEvent{{signature, id}, kind, status::noErr});
}

}  // namespace moxi::hotkey::test

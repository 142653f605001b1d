#include "hotkey_support.h"

#include <QEventLoop>
#include <QTimer>

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

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pumpEvents(std::chrono::milliseconds(10));
  }
  return true;
}

void pumpEvents(std::chrono::milliseconds duration) {
  QEventLoop loop;
  QTimer::singleShot(duration, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace moxi::hotkey::test

#pragma once
// Hot keys on X11: each combination is a passive key grab on the root window
// of the service's own X connection. Events are read on the Qt main thread
// through a socket notifier on that connection.
#include <xcb/xcb.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "hotkey/hot_key_service.h"
#include "platform/x11/xcb.h"
#include "platform/x11/xcb_keysyms.h"

class QSocketNotifier;
class QTimer;

namespace moxi::hotkey {

// X modifier mask of Carbon modifier bits: command is Control, control is
// Super (Mod4), option is Alt (Mod1), shift is Shift; other bits are dropped.
std::uint16_t xModifiersForCarbon(std::uint32_t carbonModifiers);

class X11HotKeyService final : public HotKeyService {
 public:
  // Connects to `displayName`, or to DISPLAY when null. Needs a
  // QCoreApplication; without one, or without a display, every
  // registration is refused.
  explicit X11HotKeyService(const char* displayName = nullptr);
  ~X11HotKeyService() override;
  X11HotKeyService(const X11HotKeyService&) = delete;
  X11HotKeyService& operator=(const X11HotKeyService&) = delete;

  HotKeyRegistration registerHotKey(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers,
                                    HotKeyID hotKeyID) override;
  void unregisterHotKey(HotKeyRef ref) override;
  std::optional<HandlerRef> installHandler(Handler handler) override;

  bool isAvailable() const { return notifier_ != nullptr; }

 private:
  struct Grab {
    HotKeyRef ref = 0;
    HotKeyID hotKeyID;
    std::vector<xcb_keycode_t> keycodes;
    std::uint16_t modifiers = 0;
    // The lock variants grabbed; the NumLock modifier may move later.
    std::vector<std::uint16_t> variants;
    // The keycode held down since the last press, while a press is unmatched.
    std::optional<xcb_keycode_t> heldKeycode;
  };

  std::vector<std::uint16_t> lockVariants() const;
  void updateNumLockMask();
  void ungrab(const Grab& grab);
  void sync();
  void readEvents();
  // Moves the events that have arrived, without waiting, to the queue.
  void queueWaitingEvents();
  void processQueue();
  void onKeyPress(const xcb_key_press_event_t& event);
  void onKeyRelease(const xcb_key_release_event_t& event);
  void deliverPendingRelease();
  void deliver(HotKeyID id, std::uint32_t kind);
  void drainSoon();

  std::unique_ptr<xcb::Connection> connection_;
  xcb::KeySymbols keySymbols_;
  std::uint16_t numLockMask_ = 0;
  std::vector<Grab> grabs_;
  HotKeyRef nextRef_ = 1;
  Handler handler_;
  bool handlerInstalled_ = false;
  std::deque<xcb::Event> queue_;
  // A release waits briefly for the press that would mark it as auto-repeat.
  xcb::Event pendingRelease_;
  std::unique_ptr<QTimer> releaseTimer_;
  std::unique_ptr<QSocketNotifier> notifier_;
  bool lostLogged_ = false;
};

}  // namespace moxi::hotkey

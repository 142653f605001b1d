#include "platform/x11/x11_hot_key_service.h"

#include <X11/keysym.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>

#include "common/log.h"
#include "hotkey/key.h"
#include "hotkey/x11_keysyms.h"

namespace moxi::hotkey {

namespace {

// How long a release waits for the press of an auto-repeat pair; the server
// sends both together, so this only covers a pair split between two reads.
constexpr int autoRepeatWindowMs = 30;

constexpr std::uint16_t modifierBits = 0xff;  // Shift, Lock, Control, Mod1 … Mod5

}  // namespace

std::uint16_t xModifiersForCarbon(std::uint32_t carbonModifiers) {
  std::uint16_t mask = 0;
  if (carbonModifiers & carbon::cmdKey) mask |= XCB_MOD_MASK_CONTROL;
  if (carbonModifiers & carbon::controlKey) mask |= XCB_MOD_MASK_4;
  if (carbonModifiers & carbon::optionKey) mask |= XCB_MOD_MASK_1;
  if (carbonModifiers & carbon::shiftKey) mask |= XCB_MOD_MASK_SHIFT;
  return mask;
}

X11HotKeyService::X11HotKeyService(const char* displayName) {
  if (!QCoreApplication::instance()) {
    logLine("hot keys unavailable: no running application");
    return;
  }
  auto connection = std::make_unique<xcb::Connection>(displayName);
  if (!connection->ok() || !connection->screen()) {
    logLine("hot keys unavailable: cannot connect to the X server");
    return;
  }
  connection_ = std::move(connection);
  keySymbols_.reset(xcb_key_symbols_alloc(connection_->get()));
  updateNumLockMask();

  releaseTimer_ = std::make_unique<QTimer>();
  releaseTimer_->setSingleShot(true);
  releaseTimer_->setInterval(autoRepeatWindowMs);
  QObject::connect(releaseTimer_.get(), &QTimer::timeout, releaseTimer_.get(), [this] {
    deliverPendingRelease();
    processQueue();
  });
  notifier_ = std::make_unique<QSocketNotifier>(connection_->fd(), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { readEvents(); });
}

// Closing the connection releases every grab it holds.
X11HotKeyService::~X11HotKeyService() = default;

std::vector<std::uint16_t> X11HotKeyService::lockVariants() const {
  std::vector<std::uint16_t> variants{0, XCB_MOD_MASK_LOCK};
  if (numLockMask_ && numLockMask_ != XCB_MOD_MASK_LOCK) {
    variants.push_back(numLockMask_);
    variants.push_back(static_cast<std::uint16_t>(numLockMask_ | XCB_MOD_MASK_LOCK));
  }
  return variants;
}

void X11HotKeyService::updateNumLockMask() {
  numLockMask_ = 0;
  xcb_connection_t* c = connection_->get();
  xcb::Reply<xcb_keycode_t> numLockCodes(xcb_key_symbols_get_keycode(keySymbols_.get(), XK_Num_Lock));
  auto map = xcb::reply(c, xcb_get_modifier_mapping(c), xcb_get_modifier_mapping_reply);
  if (!numLockCodes || !map) return;
  const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(map.get());
  const int perModifier = map->keycodes_per_modifier;
  for (int modifier = 0; modifier < 8; ++modifier) {
    for (int j = 0; j < perModifier; ++j) {
      const xcb_keycode_t code = codes[modifier * perModifier + j];
      if (code == XCB_NO_SYMBOL) continue;
      for (const xcb_keycode_t* n = numLockCodes.get(); *n != XCB_NO_SYMBOL; ++n)
        if (*n == code) numLockMask_ = static_cast<std::uint16_t>(1u << modifier);
    }
  }
}

HotKeyRegistration X11HotKeyService::registerHotKey(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers,
                                                    HotKeyID hotKeyID) {
  if (!isAvailable() || xcb_connection_has_error(connection_->get())) return {status::serviceUnavailable, {}};
  const std::optional<Key> key = keyFromCarbonKeyCode(carbonKeyCode);
  const std::uint32_t keysym = key ? keysymForKey(*key) : 0;
  if (!keysym) return {status::hotKeyInvalid, {}};

  std::vector<xcb_keycode_t> keycodes;
  xcb::Reply<xcb_keycode_t> found(xcb_key_symbols_get_keycode(keySymbols_.get(), keysym));
  for (const xcb_keycode_t* p = found.get(); p && *p != XCB_NO_SYMBOL; ++p)
    if (std::find(keycodes.begin(), keycodes.end(), *p) == keycodes.end()) keycodes.push_back(*p);
  drainSoon();
  if (keycodes.empty()) return {status::hotKeyInvalid, {}};

  const std::uint16_t modifiers = xModifiersForCarbon(carbonModifiers);
  // A second grab of our own would silently replace the first.
  for (const Grab& g : grabs_) {
    if (g.modifiers != modifiers) continue;
    for (xcb_keycode_t code : keycodes)
      if (std::find(g.keycodes.begin(), g.keycodes.end(), code) != g.keycodes.end())
        return {status::hotKeyExists, {}};
  }

  xcb_connection_t* c = connection_->get();
  const xcb_window_t root = connection_->root();
  struct Request {
    xcb_keycode_t keycode;
    std::uint16_t modifiers;
    xcb_void_cookie_t cookie;
  };
  std::vector<Request> requests;
  const std::vector<std::uint16_t> variants = lockVariants();
  for (xcb_keycode_t code : keycodes) {
    for (std::uint16_t variant : variants) {
      const auto mask = static_cast<std::uint16_t>(modifiers | variant);
      requests.push_back({code, mask,
                          xcb_grab_key_checked(c, 0, root, mask, code, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)});
    }
  }
  OSStatus result = status::noErr;
  std::vector<const Request*> granted;
  for (const Request& r : requests) {
    if (xcb::Error error = xcb::check(c, r.cookie)) {
      // BadAccess: another client holds the combination.
      if (result == status::noErr)
        result = error->error_code == XCB_ACCESS ? status::hotKeyExists : status::hotKeyInvalid;
    } else {
      granted.push_back(&r);
    }
  }
  drainSoon();
  if (result != status::noErr) {
    for (const Request* r : granted) xcb_ungrab_key(c, r->keycode, root, r->modifiers);
    sync();
    return {result, {}};
  }
  const HotKeyRef ref = nextRef_++;
  grabs_.push_back(Grab{ref, hotKeyID, std::move(keycodes), modifiers, variants, std::nullopt});
  return {status::noErr, ref};
}

void X11HotKeyService::ungrab(const Grab& grab) {
  xcb_connection_t* c = connection_->get();
  for (xcb_keycode_t code : grab.keycodes)
    for (std::uint16_t variant : grab.variants)
      xcb_ungrab_key(c, code, connection_->root(), static_cast<std::uint16_t>(grab.modifiers | variant));
  sync();
}

void X11HotKeyService::sync() {
  // A round trip: once it returns the server has processed the ungrabs, so
  // another client may take the combination at once.
  xcb_connection_t* c = connection_->get();
  xcb::reply(c, xcb_get_input_focus(c), xcb_get_input_focus_reply);
  drainSoon();
}

void X11HotKeyService::unregisterHotKey(HotKeyRef ref) {
  auto it = std::find_if(grabs_.begin(), grabs_.end(), [ref](const Grab& g) { return g.ref == ref; });
  if (it == grabs_.end()) return;
  ungrab(*it);
  grabs_.erase(it);
}

std::optional<HotKeyService::HandlerRef> X11HotKeyService::installHandler(Handler handler) {
  handler_ = std::move(handler);
  handlerInstalled_ = true;
  return HandlerRef{1};
}

void X11HotKeyService::drainSoon() {
  // Round trips may have pulled events into XCB's queue without the socket
  // becoming readable again.
  if (notifier_) QTimer::singleShot(0, notifier_.get(), [this] { readEvents(); });
}

void X11HotKeyService::queueWaitingEvents() {
  while (xcb_generic_event_t* e = xcb_poll_for_event(connection_->get())) queue_.emplace_back(e);
}

void X11HotKeyService::readEvents() {
  if (!connection_) return;
  xcb_connection_t* c = connection_->get();
  queueWaitingEvents();
  if (xcb_connection_has_error(c)) {
    notifier_->setEnabled(false);
    if (!lostLogged_) logLine("hot keys unavailable: lost the connection to the X server");
    lostLogged_ = true;
  }
  processQueue();
}

void X11HotKeyService::processQueue() {
  for (;;) {
    if (pendingRelease_) {
      if (queue_.empty()) return;  // the timer decides
      const auto& release = *reinterpret_cast<const xcb_key_release_event_t*>(pendingRelease_.get());
      const xcb::Event& next = queue_.front();
      const auto& press = *reinterpret_cast<const xcb_key_press_event_t*>(next.get());
      if (xcb::eventType(next.get()) == XCB_KEY_PRESS && press.detail == release.detail && press.time == release.time) {
        // Auto-repeat: the key never went up.
        releaseTimer_->stop();
        pendingRelease_.reset();
        queue_.pop_front();
        continue;
      }
      deliverPendingRelease();
      continue;
    }
    if (queue_.empty()) return;
    xcb::Event event = std::move(queue_.front());
    queue_.pop_front();
    switch (xcb::eventType(event.get())) {
      case XCB_KEY_PRESS:
        onKeyPress(*reinterpret_cast<const xcb_key_press_event_t*>(event.get()));
        break;
      case XCB_KEY_RELEASE: {
        const auto& release = *reinterpret_cast<const xcb_key_release_event_t*>(event.get());
        const bool held = std::any_of(grabs_.begin(), grabs_.end(),
                                      [&](const Grab& g) { return g.heldKeycode == release.detail; });
        if (!held) break;
        pendingRelease_ = std::move(event);
        if (queue_.empty()) {
          queueWaitingEvents();
          if (queue_.empty()) releaseTimer_->start();
        }
        break;
      }
      case XCB_MAPPING_NOTIFY:
        xcb_refresh_keyboard_mapping(keySymbols_.get(), reinterpret_cast<xcb_mapping_notify_event_t*>(event.get()));
        updateNumLockMask();
        drainSoon();
        break;
      default:
        break;  // errors of unchecked requests (an ungrab) need no action
    }
  }
}

void X11HotKeyService::onKeyPress(const xcb_key_press_event_t& event) {
  const auto modifiers = static_cast<std::uint16_t>(event.state & modifierBits &
                                                    ~(XCB_MOD_MASK_LOCK | numLockMask_));
  for (Grab& g : grabs_) {
    if (g.modifiers != modifiers ||
        std::find(g.keycodes.begin(), g.keycodes.end(), event.detail) == g.keycodes.end())
      continue;
    if (g.heldKeycode) return;  // repeat of a key that is still down
    g.heldKeycode = event.detail;
    deliver(g.hotKeyID, eventKind::hotKeyPressed);
    return;
  }
}

void X11HotKeyService::onKeyRelease(const xcb_key_release_event_t& event) {
  // Modifiers may already be up: the grabbed key alone decides.
  for (Grab& g : grabs_) {
    if (g.heldKeycode != event.detail) continue;
    g.heldKeycode.reset();
    deliver(g.hotKeyID, eventKind::hotKeyReleased);
    return;
  }
}

void X11HotKeyService::deliverPendingRelease() {
  releaseTimer_->stop();
  xcb::Event release = std::move(pendingRelease_);
  if (release) onKeyRelease(*reinterpret_cast<const xcb_key_release_event_t*>(release.get()));
}

void X11HotKeyService::deliver(HotKeyID id, std::uint32_t kind) {
  if (!handlerInstalled_) return;
  // A copy: the handler may run a nested event loop that reaches here again.
  Handler handler = handler_;
  handler(HotKeyEvent{id, kind, status::noErr});
}

}  // namespace moxi::hotkey

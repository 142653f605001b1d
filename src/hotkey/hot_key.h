#pragma once
// System-wide hot keys: a HotKey calls its handlers when its combination is
// pressed or released anywhere on the desktop, until it is paused or its last
// reference is released. HotKeysController keeps the process-wide registry.
//
//   auto hotKey = HotKey::create(Key::f1, ModifierFlags::command, [] { toggleRecording(); });
//
// Everything here runs on the Qt main thread.
#include <QUuid>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "hotkey/hot_key_service.h"
#include "hotkey/key.h"

class QMenu;
class QMenuBar;

namespace moxi::hotkey {

class HotKey : public std::enable_shared_from_this<HotKey> {
  struct Private {};

 public:
  using Handler = std::function<void()>;  // empty when absent

  // Each form registers the new hot key before returning it.
  static std::shared_ptr<HotKey> create(KeyCombo keyCombo, Handler keyDownHandler = {}, Handler keyUpHandler = {});
  static std::shared_ptr<HotKey> create(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers,
                                        Handler keyDownHandler = {}, Handler keyUpHandler = {});
  static std::shared_ptr<HotKey> create(Key key, ModifierFlags modifiers, Handler keyDownHandler = {},
                                        Handler keyUpHandler = {});

  HotKey(Private, KeyCombo keyCombo, Handler keyDownHandler, Handler keyUpHandler);
  // Unregisters.
  ~HotKey();
  HotKey(const HotKey&) = delete;
  HotKey& operator=(const HotKey&) = delete;

  const QUuid& identifier() const { return identifier_; }
  const KeyCombo& keyCombo() const { return keyCombo_; }
  const Handler& keyDownHandler() const { return keyDownHandler_; }
  const Handler& keyUpHandler() const { return keyUpHandler_; }
  bool isPaused() const { return isPaused_; }
  // true unregisters, false registers (again, under a new ID), on every call.
  void setPaused(bool paused);

 private:
  QUuid identifier_;
  KeyCombo keyCombo_;
  Handler keyDownHandler_;
  Handler keyUpHandler_;
  bool isPaused_ = false;
};

// The registry has no instances: its state is process-wide and lives until
// the process ends. `register`/`unregister` are C++ keywords, hence the names.
class HotKeysController {
 public:
  HotKeysController() = delete;

  // "ZqHk": marks this registry's hot keys in the service's events.
  static constexpr std::uint32_t signature = (std::uint32_t{'Z'} << 24) | (std::uint32_t{'q'} << 16) |
                                             (std::uint32_t{'H'} << 8) | std::uint32_t{'k'};

  // Registers with the system unless the hot key already has a box.
  static void registerHotKey(const std::shared_ptr<HotKey>& hotKey);
  // Gives the registration back and drops the box, if there is one.
  static void unregisterHotKey(const HotKey& hotKey);
  // The installed event handler's body: 0 when a handler ran, -9874 when the
  // event is not this registry's to handle.
  static OSStatus handleHotKeyEvent(const HotKeyEvent* event);
  // The live hot key under an ID; drops a box whose hot key is gone.
  static std::shared_ptr<HotKey> hotKeyForCarbonID(std::uint32_t id);
  // The ID the hot key is registered under, if it has a box.
  static std::optional<std::uint32_t> carbonHotKeyID(const HotKey& hotKey);
  static bool hasBox(std::uint32_t id);

  // The platform sets its service at start-up; until then every
  // registration is refused. Setting a
  // service starts the registry afresh: no boxes, ID counter 0, no handler.
  static void setService(std::unique_ptr<HotKeyService> service);
  static HotKeyService& service();

  // Combinations taken elsewhere: the window manager's key bindings, the
  // application's menus, and the common menu shortcuts.
  static std::vector<KeyCombo> symbolicHotKeyCombos();
  static std::vector<KeyCombo> mainMenuKeyCombos(const QMenuBar* menuBar);
  static std::vector<KeyCombo> mainMenuKeyCombos(const QMenu* menu);
  static std::vector<KeyCombo> standardMenuKeyCombos();
};

static_assert(HotKeysController::signature == 0x5A71486B);

}  // namespace moxi::hotkey

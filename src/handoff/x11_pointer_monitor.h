#pragma once
// The global pointer monitor on X11: XInput 2 raw events of the master
// devices, selected on the root window through a connection of its own and
// read on the thread that owns the monitor (the Qt main thread) through a
// socket notifier. Raw events see every click and move, whichever client
// they go to, and also while another client holds a grab.
//
// Event types: button 1 press/release gives left down/up, button 3 press
// right down (its release gives nothing), motion gives left drag, right drag
// or moved depending on the buttons held (nothing while only the middle one
// is), a modifier key going down or up gives flags changed. Each event
// is reported with the pointer's position at the time it is handled and the
// top-level client window under it (the window carrying WM_STATE, below
// the window manager's frame).
//
// Use it on a thread with a running Qt event loop; a handler may install
// and remove handlers but must not destroy the monitor.
#include <QSocketNotifier>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "handoff/pointer_monitor.h"
#include "platform/xcb.h"

namespace moxi {

class X11PointerMonitor : public PointerMonitor {
 public:
  // Pointer y is flipped about the RandR primary output's bottom edge (the
  // root window's height without RandR or a primary output), read when the
  // monitor starts and again whenever the root window changes size.
  X11PointerMonitor();
  ~X11PointerMonitor() override;
  X11PointerMonitor(const X11PointerMonitor&) = delete;
  X11PointerMonitor& operator=(const X11PointerMonitor&) = delete;

  std::optional<Token> install(Handler handler) override;
  void remove(Token token) override;

 private:
  bool start();
  void stop();
  void readEvents();
  void handleEvent(const xcb_generic_event_t* event);
  void deliver(int type);
  void loadMappings();
  void loadHeldState();
  double primaryScreenBottom();
  uint32_t clientWindowBelow(xcb_window_t topLevel);

  std::unique_ptr<xcb::Connection> connection_;
  std::unique_ptr<QSocketNotifier> notifier_;
  uint8_t xinputOpcode_ = 0;
  double screenBottom_ = 0;
  std::array<uint8_t, 256> buttonMap_{};      // physical button -> logical button
  std::array<bool, 256> modifierKeys_{};      // keycodes bound to a modifier
  std::array<bool, 256> keysHeld_{};          // keycodes down
  bool leftHeld_ = false, middleHeld_ = false, rightHeld_ = false;

  std::map<Token, Handler> handlers_;
  Token nextToken_ = 1;
  bool dispatching_ = false;  // stop() waits until the read loop is done
};

}  // namespace moxi

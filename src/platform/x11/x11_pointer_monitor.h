#pragma once
// The global pointer monitor on X11: the X server's input, as it handles
// it, taken with the RECORD extension on a connection of its own and read on
// the thread that owns the monitor (the Qt main thread) through a socket
// notifier. Each recorded event carries where the pointer was and when (the
// server's time): a flood of input that the handler takes late still logs
// every event at its own place and time. Recorded events see every click and
// move, whichever client they go to, and also while another client holds a
// grab; a warp of the pointer is not input and gives none.
//
// Event types: button 1 press/release gives left down/up, button 3 press
// right down (its release gives nothing), motion gives left drag, right drag
// or moved depending on the buttons held (nothing while only the middle one
// is), a modifier key going down or up gives flags changed. Each event is
// reported with the top-level client window (the one carrying WM_STATE,
// below the window manager's frame) at its position when it is handled.
//
// Use it on a thread with a running Qt event loop; a handler may install
// and remove handlers but must not destroy the monitor.
#include <xcb/record.h>

#include <QSocketNotifier>
#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "common/event_wakeup.h"
#include "handoff/pointer_monitor.h"
#include "platform/x11/xcb.h"
#include "platform/x11/xcb_owners.h"

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
  void catchUp() override;

 private:
  bool start();
  bool startRecording();
  void stop();
  void readEvents();
  // Handles what the reader has taken in; false once the recording broke.
  bool readRecorded();
  // The reader thread: takes the recorded input off the connection as soon
  // as it comes (a server whose record client lags loses input), for the
  // owner's thread to handle.
  void pump(xcb_connection_t* c, unsigned int sequence);
  void handleControlEvents();
  void expectWarp(const xcb_warp_pointer_request_t& warp);
  void handleInput(const xcb_button_press_event_t& event);
  void deliver(int type, const xcb_button_press_event_t& event);
  void loadMappings();
  void loadHeldState();
  void calibrateClock();
  double eventTime(uint32_t serverTime);
  double primaryScreenBottom();
  uint32_t clientWindowAt(int16_t x, int16_t y);

  using Context = xcb::OwnedId<xcb_record_free_context>;
  std::unique_ptr<xcb::Connection> connection_;  // questions, and the context's owner
  Context context_;
  std::unique_ptr<xcb::Connection> data_;  // the recorded input only, read by the reader alone
  unsigned int enableSequence_ = 0;
  using RecordReply = xcb::Reply<xcb_record_enable_context_reply_t>;
  std::mutex inboxMutex_;
  std::deque<RecordReply> inbox_;  // a null reply: the recording ended
  std::optional<EventWakeup> wake_;        // the inbox has something
  std::optional<EventWakeup> stopReader_;  // the reader must end
  std::thread reader_;
  std::unique_ptr<QSocketNotifier> notifier_;
  bool markerSeen_ = false;  // the end of what catchUp() waits for
  // Server time `serverBase_` (milliseconds) was `wallBase_` seconds since the reference date.
  uint32_t serverBase_ = 0;
  double wallBase_ = 0;
  int16_t lastX_ = 0, lastY_ = 0;                    // the pointer after the last recorded move
  std::optional<std::pair<int16_t, int16_t>> warpTarget_;  // where a client's warp will move it
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

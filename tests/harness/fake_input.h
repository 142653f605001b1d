#pragma once
// The user's hand on the X server's input path (XTest): moves and button
// presses go through the server as a device's would, as fast as it takes them.
#include <xcb/xtest.h>

#include <QPoint>
#include <cstdlib>

#include "platform/x11/xcb.h"

namespace moxi::test {

class FakeInput {
 public:
  void move(QPoint p) { fake(XCB_MOTION_NOTIFY, 0, p); }
  void press(int button, bool down) { fake(down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, button, {}); }
  // Waits until the server has taken everything sent so far.
  void sync() { std::free(xcb_get_input_focus_reply(x_.get(), xcb_get_input_focus(x_.get()), nullptr)); }

 private:
  void fake(uint8_t type, int detail, QPoint p) {
    xcb_test_fake_input(x_.get(), type, static_cast<uint8_t>(detail), XCB_CURRENT_TIME, x_.root(),
                        static_cast<int16_t>(p.x()), static_cast<int16_t>(p.y()), 0);
  }
  xcb::Connection x_;
};

}  // namespace moxi::test

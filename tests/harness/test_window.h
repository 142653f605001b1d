#pragma once
// Client windows made by a test or bench over its own X connection, painted
// with a solid colour by the server (background pixel), with the properties a
// real application sets.
#include <xcb/xcb.h>

#include <QImage>
#include <QRect>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/x11/xcb.h"

namespace moxi::test {

// Chained setters: TestWindowOptions().at(50, 50).size(300, 200).netName("A").
struct TestWindowOptions {
  int x = 100, y = 100;
  uint16_t width = 300, height = 200;
  uint32_t colour = 0xff0000;             // 0xRRGGBB
  std::optional<std::string> netName_;    // _NET_WM_NAME, UTF-8
  std::optional<std::string> name_;       // WM_NAME, STRING (Latin-1 bytes)
  std::optional<std::pair<std::string, std::string>> wmClass_;  // instance, class
  std::optional<uint32_t> pid_;           // _NET_WM_PID
  std::vector<std::string> states_;       // e.g. "_NET_WM_STATE_ABOVE"
  std::optional<std::string> type_;       // e.g. "_NET_WM_WINDOW_TYPE_DOCK"

  TestWindowOptions& at(int px, int py) { x = px, y = py; return *this; }
  TestWindowOptions& size(uint16_t w, uint16_t h) { width = w, height = h; return *this; }
  TestWindowOptions& paint(uint32_t rgb) { colour = rgb; return *this; }
  TestWindowOptions& netName(std::string s) { netName_ = std::move(s); return *this; }
  TestWindowOptions& name(std::string s) { name_ = std::move(s); return *this; }
  TestWindowOptions& wmClass(std::string instance, std::string cls) { wmClass_ = {std::move(instance), std::move(cls)}; return *this; }
  TestWindowOptions& pid(uint32_t p) { pid_ = p; return *this; }
  TestWindowOptions& state(std::string s) { states_.push_back(std::move(s)); return *this; }
  TestWindowOptions& type(std::string s) { type_ = std::move(s); return *this; }
};

class TestWindow {
 public:
  // Creates and maps the window, then waits until the window manager shows
  // it (throws when it does not within 5 s).
  TestWindow(xcb::Connection& c, const TestWindowOptions& options);
  ~TestWindow() { destroy(); }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  xcb_window_t id() const { return id_; }
  void destroy();
  // Asks the window manager to raise it, as an application does.
  void raise();
  // The client area on the root window (top-left origin), empty once gone.
  QRect rootFrame() const;

 private:
  xcb::Connection& c_;
  xcb_window_t id_ = XCB_WINDOW_NONE;
};

// The whole screen as the user sees it (null when it cannot be read).
QImage screenshot(xcb::Connection& c);

}  // namespace moxi::test

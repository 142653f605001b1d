#pragma once
// What the window catalogue and the window lookups need from the window
// server and the capture service. X11WindowServer is the real one; unit
// tests use a fake.
#include <QImage>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/capturable_window.h"
#include "common/geometry.h"

namespace moxi {

struct ShareableContent {
  std::vector<CaptureDisplay> displays;  // the primary display first
  std::vector<CaptureWindow> windows;    // on-screen application windows, desktop windows excluded
};

// Implementations are called from background tasks and the main thread at
// once, so they must be thread-safe.
class WindowServer {
 public:
  virtual ~WindowServer() = default;

  // Numbers of the on-screen windows, front to back.
  virtual std::vector<uint32_t> onScreenWindowOrder() = 0;
  // Absent when the capture service refuses (no permission).
  virtual std::optional<ShareableContent> shareableContent() = 0;
  // The window's own picture at full resolution (BGRA, Format_RGB32 or
  // Format_ARGB32_Premultiplied), whatever covers it; absent when it cannot
  // be taken.
  virtual std::optional<QImage> windowPicture(uint32_t windowID) = 0;
  // Whether windowPicture would give the window's picture now; cheaper
  // where the server can take a pixel instead of the whole picture.
  virtual bool windowPictureTakes(uint32_t windowID) {
    auto picture = windowPicture(windowID);
    return picture && !picture->isNull();
  }
  // A listing of pictures is over: what was kept to take them can go.
  virtual void releasePictureMemory() {}
  // The window's current frame (root coordinates, top-left origin), minimised
  // windows included; absent when the window no longer exists.
  // Why a window whose bounds are gone is gone, where the server knows
  // better than "it closed" (a desktop that stopped sharing it); empty else.
  virtual std::string goneReason(uint32_t) { return {}; }
  virtual std::optional<Rect> windowBounds(uint32_t windowID) = 0;
  // Whether the window shows on the screen now (not minimised, say).
  virtual bool windowShown(uint32_t) { return true; }
  // The process owning an on-screen window; absent when the window is not on
  // screen or does not tell.
  virtual std::optional<int32_t> ownerProcessID(uint32_t windowID) = 0;
  virtual bool processIsRunning(int32_t processID) = 0;
  // Asks the window manager to bring the window to the front and focus it.
  virtual void activateWindow(uint32_t windowID) = 0;
  // The primary screen's frame (root coordinates); absent when there is no screen.
  virtual std::optional<Rect> primaryScreenFrame() = 0;
};

}  // namespace moxi

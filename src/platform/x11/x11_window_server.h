#pragma once
// The window server and capture service of an X11 desktop with an EWMH
// window manager: window lists from the EWMH client lists, pictures from
// Composite pixmaps read through MIT-SHM, displays from RandR monitors.
#include <memory>

#include "capture/window_server.h"

namespace moxi {
namespace xcb {
class Connection;
class ImageReader;
}  // namespace xcb

class X11WindowServer final : public WindowServer {
 public:
  // Opens its own connection to `displayName` (DISPLAY when null). While it
  // lives, every top-level window keeps an off-screen copy of its content
  // (automatic Composite redirection), so covered windows can be pictured.
  explicit X11WindowServer(const char* displayName = nullptr);
  ~X11WindowServer() override;
  X11WindowServer(const X11WindowServer&) = delete;
  X11WindowServer& operator=(const X11WindowServer&) = delete;

  // False without a display or without Composite, DAMAGE or MIT-SHM: the
  // capture service then refuses the shareable content.
  bool captureAvailable() const { return captureAvailable_; }

  std::vector<uint32_t> onScreenWindowOrder() override;
  std::optional<ShareableContent> shareableContent() override;
  std::optional<QImage> windowPicture(uint32_t windowID) override;
  bool windowPictureTakes(uint32_t windowID) override;
  void releasePictureMemory() override;
  std::optional<Rect> windowBounds(uint32_t windowID) override;
  bool windowShown(uint32_t windowID) override;
  std::optional<int32_t> ownerProcessID(uint32_t windowID) override;
  bool processIsRunning(int32_t processID) override;
  void activateWindow(uint32_t windowID) override;
  std::optional<Rect> primaryScreenFrame() override;

 private:
  bool connected() const;
  // The window's picture, or only its first pixel.
  std::optional<QImage> picture(uint32_t windowID, bool firstPixelOnly);
  std::vector<uint32_t> clientWindows(bool stackingOrder);
  std::vector<CaptureDisplay> displays();

  std::unique_ptr<xcb::Connection> conn_;
  std::unique_ptr<xcb::ImageReader> reader_;
  bool captureAvailable_ = false;
  bool randr_ = false;
};

}  // namespace moxi

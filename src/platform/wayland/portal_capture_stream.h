#pragma once
// The capture stream of a window shared through the ScreenCast portal: the
// PipeWire stream of its node, and the screen cast it belongs to, which ends
// when the stream stops (the desktop stops marking the window as shared).
#include <memory>

#include "capture/capture_stream.h"
#include "platform/wayland/pipewire_capture_stream.h"
#include "platform/wayland/portal_window_server.h"

namespace moxi {

class PortalCaptureStream final : public CaptureStream {
 public:
  // `cursor` receives the pointer's positions over the window (any thread).
  PortalCaptureStream(std::shared_ptr<PortalWindowServer> server, uint32_t windowID,
                      const StreamConfiguration& configuration, std::function<void(const StreamCursor&)> cursor);
  ~PortalCaptureStream() override;

  bool addStreamOutput(StreamOutputHandler handler, SerialQueue& queue) override;
  void startCapture() override;
  void updateConfiguration(const StreamConfiguration& configuration) override;
  void stopCapture(std::function<void()> completion) override;

 private:
  std::shared_ptr<PortalWindowServer> server_;
  uint32_t windowID_;
  std::unique_ptr<PipeWireCaptureStream> stream_;
};

}  // namespace moxi

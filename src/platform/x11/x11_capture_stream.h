#pragma once
// Capture of one X window (or a region of the display) as a stream of BGRA
// frames, on its own X connection and thread.
//
// Window filter: the window's own Composite pixmap, read with MIT-SHM, so
// that covering windows do not show. Display filter: the root window's
// pixels in the configuration's source rectangle, which shows the
// application's menus and pop-ups over its window (and, as X gives no
// per-application view, whatever else lies on top there).
//
// A frame is taken when the content changed (DAMAGE) or, with the cursor
// shown, the pointer moved over it or changed shape; an unchanging window
// costs nothing as the thread sleeps on the X connection. At most one frame
// per minimumFrameInterval on average, and at most queueDepth frames out
// with the consumer: while it is behind, frames due are counted as dropped
// and the newest content is taken once a frame comes back.
#include <cstdint>
#include <memory>
#include <string>

#include "capture/capture_stream.h"
#include "capture/frame_pacer.h"

namespace moxi {

struct CaptureStatistics {
  FrameStatistics frames;
  uint64_t framesFailed = 0;  // the read failed (window resized, unmapped or gone)
  uint64_t damageEvents = 0;
  bool windowClosed = false;
};

class X11CaptureStream final : public CaptureStream {
 public:
  // Connects to `displayName` (DISPLAY when empty).
  X11CaptureStream(ContentFilter filter, StreamConfiguration configuration, std::string displayName = {});
  ~X11CaptureStream() override;
  X11CaptureStream(const X11CaptureStream&) = delete;
  X11CaptureStream& operator=(const X11CaptureStream&) = delete;

  bool addStreamOutput(StreamOutputHandler handler, SerialQueue& queue) override;
  void startCapture() override;
  void updateConfiguration(const StreamConfiguration& configuration) override;
  void stopCapture(std::function<void()> completion) override;

  // Why the stream cannot capture (empty when it can).
  std::string unavailableReason() const;
  CaptureStatistics statistics() const;

  struct Impl;  // opaque; public so that the implementation's helpers can name it

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace moxi

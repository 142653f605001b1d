#pragma once
// Capture of a PipeWire screen-cast node (what the ScreenCast portal shares
// on Wayland) as a stream of BGRA frames, on PipeWire's own thread.
//
// The node's buffers are copied out as they come (a buffer goes back to
// PipeWire at once) into a staging image: the window as the user sees it
// (without the shadow the desktop casts along with it, turned upright), in
// the pixels it is drawn with; the pointer is reported in those. A frame is made from it when the
// content changed (damage meta) or, with the cursor shown, the pointer moved.
// Pacing is the X11 stream's: at most one frame per minimumFrameInterval on
// average, at most queueDepth frames out with the consumer, and frames due
// while it is behind are counted as dropped; a content change that comes too
// early is held and sent when it is due. A still source costs nothing.
//
// The stream ends by itself when the node goes away, the connection closes
// or PipeWire reports an error; the ended handler then says why, once.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/capture_stream.h"
#include "capture/frame_pacer.h"
#include "capture/stream_cursor.h"
#include "common/geometry.h"

namespace moxi {

struct PipeWireSource {
  int fd = -1;          // owned by the stream; -1 connects to the default daemon
  uint32_t nodeID = 0;  // the node to read
};

struct PipeWireCaptureStatistics {
  FrameStatistics frames;
  uint64_t buffersUnchanged = 0;  // the damage meta said nothing changed
  uint64_t buffersUnusable = 0;   // corrupted, empty or inconsistent buffers
  uint64_t buffersReceived = 0;
  uint64_t formatChanges = 0;
  bool ended = false;
};

class PipeWireCaptureStream final : public CaptureStream {
 public:
  using CursorHandler = std::function<void(StreamCursor)>;
  using EndedHandler = std::function<void(std::string reason)>;

  // Connects at once (unavailableReason() says when that failed); frames
  // flow after startCapture(). `cursor` runs on the PipeWire thread each
  // time the pointer's position or visibility changes.
  PipeWireCaptureStream(PipeWireSource source, StreamConfiguration configuration, CursorHandler cursor = {});
  ~PipeWireCaptureStream() override;
  PipeWireCaptureStream(const PipeWireCaptureStream&) = delete;
  PipeWireCaptureStream& operator=(const PipeWireCaptureStream&) = delete;

  bool addStreamOutput(StreamOutputHandler handler, SerialQueue& queue) override;
  void startCapture() override;
  void updateConfiguration(const StreamConfiguration& configuration) override;
  void stopCapture(std::function<void()> completion) override;

  // Runs once, on a thread of the stream's, when the stream ends by itself,
  // with one line that says why; not after stopCapture.
  void setEndedHandler(EndedHandler handler);

  // The node's negotiated size (before any crop), once known.
  std::optional<Size> sourceSize() const;
  // Why the stream cannot capture (empty when it can).
  std::string unavailableReason() const;
  // It ended because the desktop sends a colour format it cannot read.
  bool endedOverFormat() const;
  PipeWireCaptureStatistics statistics() const;

  struct Impl;  // opaque; public so that the implementation's helpers can name it

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace moxi

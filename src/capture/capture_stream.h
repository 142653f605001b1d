#pragma once
// The capture service's stream: what it captures (ContentFilter), how
// (StreamConfiguration), and the narrow interface the recorder drives.
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "capture/sample_buffer.h"
#include "common/geometry.h"

namespace moxi {

class SerialQueue;

// Four-character code of 32-bit BGRA.
inline constexpr uint32_t kPixelFormatBGRA = 0x42475241;
// Frames converted for the encoder as they are taken (PixelFormat::i420),
// so that those waiting for it hold 1.5 bytes a pixel and the capture's
// shared memory is free again at once.
inline constexpr uint32_t kPixelFormatI420 = 0x49343230;

struct StreamConfiguration {
  int width = 0;   // output size in pixels; 0 keeps the source's size
  int height = 0;
  std::chrono::nanoseconds minimumFrameInterval{1'000'000'000 / 60};
  bool showsCursor = true;
  bool capturesAudio = false;  // accepted; this desktop has no window audio to give
  int queueDepth = 5;          // frames handed out and not yet released, at most
                               // (a later configuration cannot raise it past the first)
  uint32_t pixelFormat = kPixelFormatBGRA;
  bool scalesToFit = true;     // fit the source into width x height, aspect kept
  // Region of the display to capture (root-window coordinates, top-left
  // origin; the whole screen when absent); used by display filters only.
  std::optional<Rect> sourceRect;
};

// The frames a stream may have out with the consumer: the configured depth
// (within the pool's `maxDepth`), but no more than 24 MB of them, and never
// fewer than two. Five 4K frames would be 166 MB in BGRA, where two keep the
// encoder fed.
inline int queueDepthWithin(int configured, int maxDepth, size_t frameBytes) {
  const int depth = std::clamp(configured, 1, maxDepth);
  if (frameBytes == 0 || depth <= 2) return depth;
  return std::clamp(static_cast<int>(std::min<size_t>((size_t{24} << 20) / frameBytes, 1000)), 2, depth);
}

struct ContentFilter {
  enum class Kind { desktopIndependentWindow, display };
  Kind kind = Kind::desktopIndependentWindow;
  uint32_t windowID = 0;   // the captured window (client window id)
  uint32_t displayID = 0;  // X screen number, display filters
  std::vector<pid_t> includedApplications;  // display filters
  std::vector<uint32_t> exceptedWindows;    // display filters

  // Only that window's content, wherever it is and whatever covers it.
  static ContentFilter desktopIndependentWindow(uint32_t windowID) {
    ContentFilter f;
    f.kind = Kind::desktopIndependentWindow;
    f.windowID = windowID;
    return f;
  }
  // What the applications show on the display; the configuration's
  // sourceRect crops it. `windowID` is the window the region follows.
  static ContentFilter display(uint32_t displayID, std::vector<pid_t> includedApplications, uint32_t windowID,
                               std::vector<uint32_t> exceptedWindows = {}) {
    ContentFilter f;
    f.kind = Kind::display;
    f.displayID = displayID;
    f.includedApplications = std::move(includedApplications);
    f.windowID = windowID;
    f.exceptedWindows = std::move(exceptedWindows);
    return f;
  }
};

// Called with every frame, on the queue given to addStreamOutput, one at a time.
using StreamOutputHandler = std::function<void(const SampleBuffer&)>;

class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // Registers the one screen output. False when the stream cannot deliver
  // (no display, a missing X extension, an output already registered, or
  // capture already started). `queue` must outlive the stream.
  virtual bool addStreamOutput(StreamOutputHandler handler, SerialQueue& queue) = 0;
  // Starts capturing; a failure shows up as no frames.
  virtual void startCapture() = 0;
  // Later frames follow the new size, source rectangle and cursor setting.
  virtual void updateConfiguration(const StreamConfiguration& configuration) = 0;
  // Stops capturing; `completion` runs once, on another thread, once the
  // capture has ended. Frames still waiting in the queue then are dropped
  // (a handler call already running finishes).
  virtual void stopCapture(std::function<void()> completion) = 0;
};

}  // namespace moxi

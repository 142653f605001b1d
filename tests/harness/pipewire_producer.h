#pragma once
// A test screen-cast source: a PipeWire video node of the tests' own that
// sends frames of a known colour in BGRx or RGBx, with the metas a
// compositor attaches (pts, damage, crop, cursor), and can change its size
// or go away. It drives its own graph: a frame goes out when sent.
#include <spa/param/video/raw.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace moxi::test {

struct ProducedCursor {
  int x = 0, y = 0;         // the hot spot, buffer pixels
  int hotX = 0, hotY = 0;
  int size = 8;             // a square bitmap of `colour`
  uint32_t colour = 0xffffffff;  // 0xAARRGGBB
};

struct ProducedFrame {
  uint32_t colour = 0xffff0000;  // 0xAARRGGBB of the whole frame (inside the crop)
  bool damaged = true;           // false: the damage meta says nothing changed
  bool corrupted = false;        // the header flags the buffer corrupted
  bool pixels = true;            // false: an empty chunk (a cursor-only update)
  std::optional<int64_t> pts = std::nullopt;  // header pts; the CLOCK_MONOTONIC time of sending when absent
  // A crop region; outside it the frame is grey.
  std::optional<spa_region> crop = std::nullopt;
  std::optional<ProducedCursor> cursor = std::nullopt;
};

class PipeWireProducer {
 public:
  // Connects through `fd` (owned) or, with -1, to the default daemon; throws
  // std::runtime_error when the node does not appear.
  PipeWireProducer(spa_video_format format, int width, int height, int fd = -1);
  ~PipeWireProducer();
  PipeWireProducer(const PipeWireProducer&) = delete;
  PipeWireProducer& operator=(const PipeWireProducer&) = delete;

  uint32_t nodeID() const;
  // A consumer is linked and buffers flow.
  bool streaming() const;
  bool waitStreaming(std::chrono::milliseconds timeout) const;
  // Sends one frame; false when not streaming or no buffer was free.
  bool send(const ProducedFrame& frame);
  // Renegotiates to the new size; frames after streaming() have it.
  void resize(int width, int height);
  // The node leaves the graph, as when the shared window closes.
  void goAway();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace moxi::test

#pragma once
// The pointer as a screen-cast stream's cursor metadata describes it:
// position and hot spot in buffer pixels, and the last bitmap it sent (a
// meta carries a bitmap only when the image changes).
#include <spa/buffer/meta.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/sample_buffer.h"

namespace moxi {

class CursorTracker {
 public:
  // Reads one buffer's cursor meta (`size` bytes). True when the position,
  // visibility or image changed.
  bool update(const spa_meta_cursor* meta, size_t size);
  // Forgets everything, as after the stream was renegotiated.
  void reset() { *this = CursorTracker(); }

  bool known() const { return known_; }
  // Shown: there is a non-empty bitmap for it.
  bool shown() const { return known_ && !hidden_; }
  int x() const { return x_; }
  int y() const { return y_; }

  // Blends the bitmap into `dst` with the hot spot at (x, y) of `dst`.
  void draw(PixelBuffer& dst, int x, int y) const;

 private:
  bool readBitmap(const spa_meta_cursor* meta, size_t size);

  bool known_ = false;
  bool hidden_ = true;
  int x_ = 0, y_ = 0;
  int hotX_ = 0, hotY_ = 0;
  int width_ = 0, height_ = 0;
  std::vector<uint32_t> argb_;  // premultiplied, B,G,R,A bytes
};

}  // namespace moxi

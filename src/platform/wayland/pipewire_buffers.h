#pragma once
// Reading one buffer of a screen cast: its flags, metas and the layout of
// its image, checked against the negotiated size before any pixel is read.
#include <spa/buffer/buffer.h>

#include <cstdint>
#include <optional>

#include "capture/pixel_ops.h"

namespace moxi {

// The header or the chunk says the data may be corrupted.
bool isCorrupted(const spa_buffer* buf);
// The buffer carries image data (a cursor-only update does not).
bool hasPixels(const spa_buffer* buf);
// The damage meta lists no changed region (no damage meta: everything changed).
bool damageSaysUnchanged(const spa_buffer* buf);
// The header's pts when it is CLOCK_MONOTONIC-plausible next to `now`, else `now`.
int64_t presentationTime(const spa_buffer* buf, int64_t now);
// The crop meta's region clipped to width x height; the whole image without one.
PixelRect cropRegion(const spa_buffer* buf, int width, int height);

struct ImageRows {
  const uint8_t* first = nullptr;  // the top-left pixel
  int stride = 0;
};
// Where a width x height image of 4-byte pixels lies in the first data
// block; absent when the chunk does not hold one (as while a size change settles).
std::optional<ImageRows> imageRows(const spa_buffer* buf, int width, int height);

}  // namespace moxi

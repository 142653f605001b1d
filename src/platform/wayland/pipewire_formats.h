#pragma once
// What the PipeWire capture stream asks of a screen-cast node (raw video in
// one of four 32-bit layouts, in shared memory, with the metas it reads),
// and the copy of a negotiated buffer into BGRA.
#include <spa/param/video/raw.h>
#include <spa/pod/builder.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "capture/pixel_ops.h"
#include "capture/sample_buffer.h"

namespace moxi {

// Largest cursor bitmap asked for, in pixels per side. mutter offers cursor
// metadata only to a consumer that takes bitmaps of 384 x 384 (large cursors
// of scaled screens): below that, the stream has no pointer positions at all.
inline constexpr int kMaxCursorSide = 384;
// Damage rectangles asked for per buffer.
inline constexpr int kDamageRegions = 16;

// The negotiated video format, when it is one the stream can copy.
struct VideoFormat {
  spa_video_format format = SPA_VIDEO_FORMAT_UNKNOWN;
  int width = 0;
  int height = 0;
};

// The format offer: raw video, BGRx/BGRA/RGBx/RGBA, any size and rate.
const spa_pod* buildFormatOffer(spa_pod_builder& b);
// Parses a Format param; absent when it is not raw video in a layout the
// stream copies, or has no size.
std::optional<VideoFormat> parseFormat(const spa_pod* param);
// The Buffers and Meta params that follow a format: shared memory only (no
// DMA-BUF), with header, crop, damage and cursor metas.
std::vector<const spa_pod*> buildBufferParams(spa_pod_builder& b);

// Whether the 32-bit layout stores red first (needs a channel swap into BGRA).
bool isRedFirst(spa_video_format format);
// Whether a 32-bit layout is one of the four the stream copies.
bool isCopyable(spa_video_format format);

// Copies `rect` of an image of `format` (rows `stride` bytes apart) into
// `dst` (which is rect-sized), as BGRA.
void copyToBGRA(const uint8_t* src, int stride, spa_video_format format, PixelRect rect, PixelBuffer& dst);

}  // namespace moxi

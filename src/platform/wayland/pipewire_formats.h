#pragma once
// What the PipeWire capture stream asks of a screen-cast node (raw video in
// one of the 32-bit layouts it reads, in shared memory, with the metas it
// reads), and the copy of a negotiated buffer into BGRA.
#include <spa/param/video/raw.h>
#include <spa/pod/builder.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/pixel_ops.h"
#include "capture/sample_buffer.h"
#include "platform/wayland/pipewire_window_area.h"

namespace moxi {

// Largest cursor bitmap asked for, in pixels per side. mutter offers cursor
// metadata only to a consumer that takes bitmaps of 384 x 384 (large cursors
// of scaled screens): below that, the stream has no pointer positions at all.
inline constexpr int kMaxCursorSide = 384;
// Damage rectangles asked for per buffer.
inline constexpr int kDamageRegions = 16;

// The negotiated video format: raw video in memory, with a size.
struct VideoFormat {
  spa_video_format format = SPA_VIDEO_FORMAT_UNKNOWN;
  int width = 0;
  int height = 0;
};

// The format offers, in order of preference: the 8-bit layouts, then the
// 10-bit ones of deep-colour outputs; last any raw video at all, so that a
// desktop sending something else still agrees on a format and the stream
// can name it instead of failing without a word.
std::vector<const spa_pod*> buildFormatOffers(spa_pod_builder& b);
// Parses a Format param; absent when it is not raw video in memory (a
// DMA-BUF modifier, say) or has no size. Its layout may still be unreadable.
std::optional<VideoFormat> parseFormat(const spa_pod* param);
// The Buffers and Meta params that follow a format: shared memory only (no
// DMA-BUF), with header, crop, damage, cursor and transform metas.
std::vector<const spa_pod*> buildBufferParams(spa_pod_builder& b);

// Whether a layout is one the stream copies (and converts to BGRA).
bool isCopyable(spa_video_format format);
// Where a pixel of `format` keeps its alpha (none for the x layouts, whose
// fourth part means nothing).
AlphaBits alphaBits(spa_video_format format);
// What the user is told when the desktop sends a layout the stream cannot read.
std::string unsupportedFormatReason(spa_video_format format);

// Copies `rect` of an image of `format` (rows `stride` bytes apart) into
// `dst` (which is rect-sized), as BGRA.
void copyToBGRA(const uint8_t* src, int stride, spa_video_format format, PixelRect rect, PixelBuffer& dst);

}  // namespace moxi

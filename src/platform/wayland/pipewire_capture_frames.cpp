// From the node's buffers to frames: each buffer is copied out at once, and
// frames are made from the newest content at the pacer's rate.
#include <libyuv.h>
#include <spa/buffer/meta.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "capture/pixel_ops.h"
#include "common/clock.h"
#include "platform/wayland/pipewire_buffers.h"
#include "platform/wayland/pipewire_capture_impl.h"
#include "platform/wayland/pipewire_orientation.h"

namespace moxi {

using Impl = PipeWireCaptureStream::Impl;

void Impl::onProcess() {
  // Every buffer is read and handed back at once: the stream keeps none.
  while (pw_buffer* b = pw_stream_dequeue_buffer(stream.get())) {
    if (!stopped && !ended) handleBuffer(b);
    pw_stream_queue_buffer(stream.get(), b);
  }
  tryDeliver();
}

void Impl::handleBuffer(pw_buffer* b) {
  ++received;
  const spa_buffer* buf = b->buffer;
  if (isCorrupted(buf)) {
    ++unusable;
    return;
  }
  const spa_meta* cursorMeta = spa_buffer_find_meta(buf, SPA_META_Cursor);
  if (cursorMeta && cursor.update(static_cast<const spa_meta_cursor*>(cursorMeta->data), cursorMeta->size)) {
    reportCursor();
    if (active.showsCursor) cursorPending = true;
  }
  if (!hasPixels(buf) || !format) {
    // A cursor-only update has no pixels; anything else without them is broken.
    if (!cursorMeta) ++unusable;
    return;
  }
  if (!wantFullFrame && damageSaysUnchanged(buf)) {
    ++unchanged;
    return;
  }
  if (!copyContent(buf)) {
    ++unusable;
    return;
  }
  wantFullFrame = false;
  contentTime = presentationTime(buf, monotonicNanos());
  contentPending = true;
}

// Copies the window, upright, out of the buffer, or refuses one whose
// layout does not match the negotiated format.
bool Impl::copyContent(const spa_buffer* buf) {
  const std::optional<ImageRows> rows = imageRows(buf, format->width, format->height);
  if (!rows) return false;
  const PixelRect crop = cropRegion(buf, format->width, format->height);
  const AlphaImage image{rows->first, rows->stride, format->width, format->height, alphaBits(format->format)};
  WindowArea found = area;
  // Looked for when the crop or the size changes; a few pixels per buffer
  // say whether it still holds.
  if (crop != area.crop || !windowAreaHolds(image, area)) found = findWindowArea(image, crop);
  const uint32_t turn = bufferTransform(buf);
  const PixelRect r = found.rect;
  const bool sideways = swapsSides(turn);
  const int width = sideways ? r.height : r.width, height = sideways ? r.width : r.height;
  if (!staging || staging->width != width || staging->height != height) {
    staging = PixelBuffer::allocate(width, height);
    if (!staging || !staging->pixels) return false;
  }
  if (turn == SPA_META_TRANSFORMATION_None) {
    copyToBGRA(rows->first, rows->stride, format->format, r, *staging);
  } else {
    if (!turning || turning->width != r.width || turning->height != r.height) {
      turning = PixelBuffer::allocate(r.width, r.height);
      if (!turning || !turning->pixels) return false;
    }
    copyToBGRA(rows->first, rows->stride, format->format, r, *turning);
    makeUpright(*turning, *staging, turn, turningScratch);
  }
  const bool moved = found != area || turn != transform;
  area = found;
  transform = turn;
  if (moved && cursor.known()) reportCursor();  // the same pointer is elsewhere in a new picture
  return true;
}

std::pair<double, double> Impl::cursorInPicture() const {
  if (area.rect.width <= 0) return {cursor.x(), cursor.y()};
  return uprightPoint(area.windowX(cursor.x()), area.windowY(cursor.y()), area.rect.width, area.rect.height,
                      transform);
}

void Impl::reportCursor() {
  StreamCursor c;
  const bool sideways = swapsSides(transform);
  const int width = area.rect.width > 0 ? (sideways ? area.rect.height : area.rect.width) : (format ? format->width : 0);
  const int height = area.rect.width > 0 ? (sideways ? area.rect.width : area.rect.height) : (format ? format->height : 0);
  std::tie(c.x, c.y) = cursorInPicture();
  c.streamWidth = width;
  c.streamHeight = height;
  // Over the stream, whether or not its image can be drawn: an application
  // may hide the pointer (or give no image), and it still points somewhere.
  c.visible = cursor.known() && c.x >= 0 && c.y >= 0 && c.x < width && c.y < height;
  if (c == reportedCursor) return;
  reportedCursor = c;
  if (cursorHandler) cursorHandler(c);
}

void Impl::onWake() {
  if (ended && stream) {
    streamHook.reset();
    stream.reset();
    return;
  }
  StreamConfiguration changed;
  bool apply = false;
  {
    std::lock_guard lock(mutex);
    if (configChanged) {
      configChanged = false;
      changed = config;
      apply = true;
    }
  }
  if (apply) {
    active = changed;
    lockedWidth = lockedHeight = 0;
    if (staging) contentPending = true;  // the next frame shows the new geometry
  }
  tryDeliver();
}

void Impl::armTimer(int64_t ns) {
  if (!paceTimer) return;
  timespec value{ns / 1'000'000'000, ns % 1'000'000'000};
  pw_loop_update_timer(pw_thread_loop_get_loop(loop.get()), paceTimer.get(), &value, nullptr, false);
}

void Impl::tryDeliver() {
  if (stopped || ended || !staging || !(contentPending || cursorPending)) return armTimer(0);
  const int64_t now = monotonicNanos();
  switch (pacer.due(active, pool, now)) {
    case FramePacer::Due::later:
      return armTimer(pacer.nanosUntilDue(active));
    case FramePacer::Due::consumerBehind:
      return armTimer(0);  // the content stays due: a returned frame or the next buffer retries it
    case FramePacer::Due::now:
      break;
  }
  if (render(contentPending ? contentTime : now)) {
    contentPending = cursorPending = false;
    armTimer(0);
  } else {
    ++unusable;
    contentPending = cursorPending = false;
  }
}

bool Impl::render(int64_t time) {
  if (active.width > 0 && active.height > 0) {
    lockedWidth = active.width;
    lockedHeight = active.height;
  } else if (lockedWidth == 0) {
    // Left to the source: its first size stays, as the writer's size does.
    lockedWidth = staging->width;
    lockedHeight = staging->height;
  }
  // A frame converted for the encoder is composed in BGRA first (the cursor
  // is drawn there); only the converted one goes out.
  const bool converts = active.pixelFormat == kPixelFormatI420;
  pool.takeRetired();  // heap memory too small for the new size: dropping it frees it
  std::shared_ptr<PixelBuffer> out;
  if (!converts) {
    out = pool.acquire(lockedWidth, lockedHeight);
  } else {
    if (!composing || composing->width != lockedWidth || composing->height != lockedHeight)
      composing = PixelBuffer::allocate(lockedWidth, lockedHeight);
    out = composing;
  }
  if (!out || !out->pixels) return false;
  const auto [px, py] = cursorInPicture();
  int cx = static_cast<int>(std::lround(px)), cy = static_cast<int>(std::lround(py));
  if (out->width == staging->width && out->height == staging->height) {
    libyuv::ARGBCopy(staging->pixels, staging->stride, out->pixels, out->stride, out->width, out->height);
  } else if (active.scalesToFit) {
    scaleToFit(*staging, *out);
    const PixelRect fit = fitRect(staging->width, staging->height, out->width, out->height);
    cx = fit.x + cx * fit.width / staging->width;
    cy = fit.y + cy * fit.height / staging->height;
  } else {
    copyTopLeft(*staging, *out);
  }
  if (active.showsCursor) cursor.draw(*out, cx, cy);
  if (converts) {
    out = toI420(*out, pool, evenScratch);
    if (!out) return false;
  }
  time = std::max(time, lastTime + 1);  // frames never go back in time
  lastTime = time;
  output.deliver(std::move(out), time);
  return true;
}

}  // namespace moxi

// From the node's buffers to frames: each buffer is copied out at once, and
// frames are made from the newest content at the pacer's rate.
#include <libyuv.h>
#include <spa/buffer/meta.h>

#include <algorithm>

#include "capture/pixel_ops.h"
#include "common/clock.h"
#include "platform/wayland/pipewire_buffers.h"
#include "platform/wayland/pipewire_capture_impl.h"

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

// Copies the cropped image out of the buffer, or refuses one whose layout
// does not match the negotiated format.
bool Impl::copyContent(const spa_buffer* buf) {
  const std::optional<ImageRows> rows = imageRows(buf, format->width, format->height);
  if (!rows) return false;
  const PixelRect r = cropRegion(buf, format->width, format->height);
  if (!staging || staging->width != r.width || staging->height != r.height) {
    staging = PixelBuffer::allocate(r.width, r.height);
    if (!staging || !staging->pixels) return false;
  }
  const bool moved = r != crop;
  crop = r;
  copyToBGRA(rows->first, rows->stride, format->format, r, *staging);
  if (moved && cursor.known()) reportCursor();  // the same pointer is elsewhere in a new crop
  return true;
}

void Impl::reportCursor() {
  StreamCursor c;
  const int width = crop.width > 0 ? crop.width : (format ? format->width : 0);
  const int height = crop.height > 0 ? crop.height : (format ? format->height : 0);
  c.x = cursor.x() - crop.x;
  c.y = cursor.y() - crop.y;
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
  std::shared_ptr<PixelBuffer> out = pool.acquire(lockedWidth, lockedHeight);
  if (!out || !out->pixels) return false;
  int cx = cursor.x() - crop.x, cy = cursor.y() - crop.y;
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
  time = std::max(time, lastTime + 1);  // frames never go back in time
  lastTime = time;
  output.deliver(std::move(out), time);
  return true;
}

}  // namespace moxi

#include "platform/wayland/pipewire_buffers.h"

#include <spa/buffer/meta.h>

#include <algorithm>

namespace moxi {

namespace {
// A pts counts as CLOCK_MONOTONIC when it lies this close to the time of
// arrival; anything else (another clock, a stream offset) does not.
constexpr int64_t kPtsPastSlackNs = 1'000'000'000;
constexpr int64_t kPtsFutureSlackNs = 50'000'000;

const spa_meta_header* header(const spa_buffer* buf) {
  return static_cast<const spa_meta_header*>(spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)));
}
}  // namespace

bool isCorrupted(const spa_buffer* buf) {
  if (const spa_meta_header* h = header(buf); h && (h->flags & SPA_META_HEADER_FLAG_CORRUPTED)) return true;
  return buf->n_datas > 0 && buf->datas[0].chunk && (buf->datas[0].chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
}

bool hasPixels(const spa_buffer* buf) {
  return buf->n_datas > 0 && buf->datas[0].data && buf->datas[0].chunk && buf->datas[0].chunk->size > 0;
}

bool damageSaysUnchanged(const spa_buffer* buf) {
  const spa_meta* m = spa_buffer_find_meta(buf, SPA_META_VideoDamage);
  if (!m) return false;
  const spa_meta_region* r;
  spa_meta_for_each(r, m) {
    return !spa_meta_region_is_valid(r);  // the list ends at the first empty region
  }
  return false;  // too small to list anything: it says nothing
}

int64_t presentationTime(const spa_buffer* buf, int64_t now) {
  const spa_meta_header* h = header(buf);
  return h && h->pts > now - kPtsPastSlackNs && h->pts < now + kPtsFutureSlackNs ? h->pts : now;
}

PixelRect cropRegion(const spa_buffer* buf, int width, int height) {
  const auto* c =
      static_cast<const spa_meta_region*>(spa_buffer_find_meta_data(buf, SPA_META_VideoCrop, sizeof(spa_meta_region)));
  if (!c || !spa_meta_region_is_valid(c)) return {0, 0, width, height};
  const int x0 = std::clamp(c->region.position.x, 0, width - 1);
  const int y0 = std::clamp(c->region.position.y, 0, height - 1);
  const int x1 = static_cast<int>(std::min<int64_t>(width, int64_t{c->region.position.x} + c->region.size.width));
  const int y1 = static_cast<int>(std::min<int64_t>(height, int64_t{c->region.position.y} + c->region.size.height));
  if (x1 <= x0 || y1 <= y0) return {0, 0, width, height};
  return {x0, y0, x1 - x0, y1 - y0};
}

std::optional<ImageRows> imageRows(const spa_buffer* buf, int width, int height) {
  if (!hasPixels(buf) || width <= 0 || height <= 0) return std::nullopt;
  const spa_data& d = buf->datas[0];
  const int64_t row = int64_t{width} * 4;
  const int64_t stride = d.chunk->stride != 0 ? d.chunk->stride : row;
  const int64_t offset = d.chunk->offset;
  const int64_t extent = stride * (height - 1) + row;
  if (stride < row || offset + extent > int64_t{d.maxsize} || int64_t{d.chunk->size} < extent) return std::nullopt;
  return ImageRows{static_cast<const uint8_t*>(d.data) + offset, static_cast<int>(stride)};
}

}  // namespace moxi

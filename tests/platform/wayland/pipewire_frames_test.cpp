// A screen cast's buffers: their pixel layouts, damage, times, crops, the
// window inside them and their orientation.
#include "platform/wayland/pipewire_buffers.h"

#include <gtest/gtest.h>
#include <spa/buffer/meta.h>
#include <spa/pod/iter.h>

#include <cstring>

#include "platform/wayland/pipewire_formats.h"
#include "platform/wayland/pipewire_orientation.h"
#include "platform/wayland/pipewire_window_area.h"

namespace moxi {
namespace {

const uint32_t* pixels(const PixelBuffer& b) { return reinterpret_cast<const uint32_t*>(b.pixels); }

// A screen cast's layouts, 8 and 10 bits, come out as BGRA (red ff, green
// 80, blue 0), cropped to the rectangle; the 10-bit ones are offered after
// the 8-bit ones, and any other is named in plain words.
TEST(PipeWireFormats, CopiesEachLayoutAsBGRAAndNamesTheOnesItCannotRead) {
  const std::pair<spa_video_format, uint32_t> layouts[] = {  // in the order offered
      {SPA_VIDEO_FORMAT_BGRx, 0x00ff8000},        {SPA_VIDEO_FORMAT_BGRA, 0xffff8000},
      {SPA_VIDEO_FORMAT_RGBx, 0x000080ff},        {SPA_VIDEO_FORMAT_RGBA, 0xff0080ff},
      {SPA_VIDEO_FORMAT_xRGB_210LE, 0x3ff80000},  {SPA_VIDEO_FORMAT_xBGR_210LE, 0x000803ff},
      {SPA_VIDEO_FORMAT_RGBx_102LE, 0xffe00000},  {SPA_VIDEO_FORMAT_BGRx_102LE, 0x00200ffc},
      {SPA_VIDEO_FORMAT_ARGB_210LE, 0xfff80000},  {SPA_VIDEO_FORMAT_ABGR_210LE, 0xc00803ff},
      {SPA_VIDEO_FORMAT_RGBA_102LE, 0xffe00003},  {SPA_VIDEO_FORMAT_BGRA_102LE, 0x00200fff}};
  for (auto [format, word] : layouts) {
    SCOPED_TRACE(format);
    EXPECT_TRUE(isCopyable(format));
    std::vector<uint32_t> image(3 * 2, 0);  // 3 x 2, the colour only at (2, 1)
    image[1 * 3 + 2] = word;
    auto dst = PixelBuffer::allocate(1, 1);
    copyToBGRA(reinterpret_cast<const uint8_t*>(image.data()), 3 * 4, format, PixelRect{2, 1, 1, 1}, *dst);
    EXPECT_EQ(pixels(*dst)[0] & 0x00ffffffu, 0x00ff8000u);
  }

  uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod_prop* offered = spa_pod_find_prop(buildFormatOffers(b).front(), nullptr, SPA_FORMAT_VIDEO_format);
  ASSERT_NE(offered, nullptr);
  uint32_t count = 0, choice = 0;
  const auto* ids = static_cast<const uint32_t*>(SPA_POD_BODY_CONST(spa_pod_get_values(&offered->value, &count, &choice)));
  std::vector<uint32_t> expected;
  for (auto [format, word] : layouts) expected.push_back(format);
  EXPECT_EQ(std::vector<uint32_t>(ids + 1, ids + count), expected);  // after the default

  EXPECT_FALSE(isCopyable(SPA_VIDEO_FORMAT_NV12));
  EXPECT_EQ(unsupportedFormatReason(SPA_VIDEO_FORMAT_NV12),
            "the desktop sends a colour format that Moxiscope does not support (NV12)");
}

// A cast buffer's metas: damage that lists nothing means unchanged, a pts
// counts only on the monotonic clock, crops are clipped to the image, a
// transform is read.
TEST(PipeWireBuffers, ReadDamageTimesCropsAndTransforms) {
  constexpr int64_t kNow = 500'000'000'000;
  spa_meta_header header{};
  header.pts = kNow - 20'000'000;
  spa_meta_region crop{{{600, 20}, {100, 50}}};
  spa_meta_region damage[2]{};
  spa_meta_videotransform turn{SPA_META_TRANSFORMATION_270};
  spa_meta metas[4] = {{SPA_META_Header, sizeof header, &header},
                       {SPA_META_VideoCrop, sizeof crop, &crop},
                       {SPA_META_VideoDamage, sizeof damage, damage},
                       {SPA_META_VideoTransform, sizeof turn, &turn}};
  spa_buffer buffer{4, 0, metas, nullptr};
  EXPECT_TRUE(damageSaysUnchanged(&buffer));
  damage[0] = {{{0, 0}, {8, 8}}};
  EXPECT_FALSE(damageSaysUnchanged(&buffer));
  EXPECT_EQ(presentationTime(&buffer, kNow), header.pts);
  header.pts = 5'000;  // another clock
  EXPECT_EQ(presentationTime(&buffer, kNow), kNow);
  EXPECT_EQ(cropRegion(&buffer, 640, 480), (PixelRect{600, 20, 40, 50}));
  EXPECT_EQ(bufferTransform(&buffer), uint32_t{SPA_META_TRANSFORMATION_270});
  buffer.n_metas = 0;
  EXPECT_FALSE(damageSaysUnchanged(&buffer)) << "no damage meta: everything changed";
  EXPECT_EQ(cropRegion(&buffer, 640, 480), (PixelRect{0, 0, 640, 480}));
  EXPECT_EQ(bufferTransform(&buffer), uint32_t{SPA_META_TRANSFORMATION_None});
}

// A BGRA picture of a width x height frame with an opaque window in a
// translucent shadow (the margins around it), and its top corners rounded.
struct ShadowedWindow {
  std::vector<uint32_t> words;
  int width, height;
  ShadowedWindow(int w, int h, PixelRect window, PixelRect shadow) : words(size_t(w) * h, 0), width(w), height(h) {
    for (int y = shadow.y; y < shadow.y + shadow.height; ++y)
      for (int x = shadow.x; x < shadow.x + shadow.width; ++x) words[size_t(y) * w + x] = 0x30000000;
    for (int y = window.y; y < window.y + window.height; ++y)
      for (int x = window.x; x < window.x + window.width; ++x) words[size_t(y) * w + x] = 0xff808080;
    if (window.width > 4)
      for (int x : {window.x, window.x + 1, window.x + window.width - 2, window.x + window.width - 1})
        words[size_t(window.y) * w + x] = 0x80404040;
  }
  AlphaImage image(AlphaBits alpha = alphaBits(SPA_VIDEO_FORMAT_BGRA)) const {
    return {reinterpret_cast<const uint8_t*>(words.data()), width * 4, width, height, alpha};
  }
};

// The window is the opaque area: inside the crop (the surface with its
// shadow), and past it where the crop is smaller than what is drawn (a
// fractional scale: the cursor is then scaled into the drawn pixels).
// Without alpha, or without an opaque area, the crop is the window.
TEST(PipeWireWindowArea, IsTheOpaqueWindowWithoutItsShadowAndWholePastAShortCrop) {
  const ShadowedWindow gtk(120, 90, {14, 12, 40, 30}, {0, 0, 68, 59});
  WindowArea area = findWindowArea(gtk.image(), {0, 0, 68, 59});
  EXPECT_EQ(area.rect, (PixelRect{14, 12, 40, 30}));
  EXPECT_EQ(area.windowX(20), 6);
  EXPECT_EQ(area.windowY(50), 38);
  EXPECT_TRUE(windowAreaHolds(gtk.image(), area));
  EXPECT_EQ(findWindowArea(gtk.image(alphaBits(SPA_VIDEO_FORMAT_BGRx)), {0, 0, 68, 59}).rect, (PixelRect{0, 0, 68, 59}));
  const ShadowedWindow translucent(120, 90, {0, 0, 0, 0}, {0, 0, 68, 59});
  EXPECT_EQ(findWindowArea(translucent.image(), {0, 0, 68, 59}).rect, (PixelRect{0, 0, 68, 59}));

  // Drawn at scale 2, described at 1.5: margins 28 | 80 | 28, crop 90 wide;
  // its sides blended into the shadow.
  ShadowedWindow fractional(200, 150, {28, 24, 80, 60}, {0, 0, 136, 118});
  for (int y = 24; y < 84; ++y) fractional.words[size_t(y) * 200 + 28] = fractional.words[size_t(y) * 200 + 107] = 0xf8808080;
  area = findWindowArea(fractional.image(), {0, 0, 90, 78});
  EXPECT_EQ(area.rect, (PixelRect{28, 24, 80, 60}));
  EXPECT_DOUBLE_EQ(area.windowX(45), 45 * 136.0 / 90 - 28);
  EXPECT_DOUBLE_EQ(area.windowY(30), 30 * 136.0 / 90 - 24);

  // The window moved within the same crop: a few samples see it.
  ShadowedWindow moved = gtk;
  for (int y = 0; y < moved.height; ++y) moved.words[size_t(y) * moved.width + 14] = 0x30000000;
  EXPECT_FALSE(windowAreaHolds(moved.image(), findWindowArea(gtk.image(), {0, 0, 68, 59})));
}

// Every transform of a 3 x 2 picture (1 2 3 / 4 5 6) comes out upright, and
// each pixel's position goes where its pixel goes.
TEST(PipeWireOrientation, TurnsEveryTransformUpright) {
  const std::pair<uint32_t, std::vector<std::vector<uint32_t>>> turned[] = {
      {SPA_META_TRANSFORMATION_None, {{1, 2, 3}, {4, 5, 6}}},
      {SPA_META_TRANSFORMATION_90, {{3, 6}, {2, 5}, {1, 4}}},
      {SPA_META_TRANSFORMATION_180, {{6, 5, 4}, {3, 2, 1}}},
      {SPA_META_TRANSFORMATION_270, {{4, 1}, {5, 2}, {6, 3}}},
      {SPA_META_TRANSFORMATION_Flipped, {{3, 2, 1}, {6, 5, 4}}},
      {SPA_META_TRANSFORMATION_Flipped90, {{1, 4}, {2, 5}, {3, 6}}},
      {SPA_META_TRANSFORMATION_Flipped180, {{4, 5, 6}, {1, 2, 3}}},
      {SPA_META_TRANSFORMATION_Flipped270, {{6, 3}, {5, 2}, {4, 1}}}};
  std::shared_ptr<PixelBuffer> scratch;
  for (const auto& [transform, rows] : turned) {
    SCOPED_TRACE(transform);
    const int w = int(rows[0].size()), h = int(rows.size());
    auto src = PixelBuffer::allocate(w, h);
    for (int y = 0; y < h; ++y) std::memcpy(src->pixels + y * src->stride, rows[y].data(), size_t(w) * 4);
    ASSERT_EQ(swapsSides(transform), w == 2);
    auto dst = PixelBuffer::allocate(3, 2);
    makeUpright(*src, *dst, transform, scratch);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x) EXPECT_EQ(pixels(*dst)[y * dst->stride / 4 + x], uint32_t(y * 3 + x + 1));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint32_t v = rows[y][x] - 1;
        EXPECT_EQ(uprightPoint(x, y, w, h, transform), (std::pair<double, double>(v % 3, v / 3)));
      }
  }
}

}  // namespace
}  // namespace moxi

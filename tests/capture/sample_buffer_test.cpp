// Frames: which ones count as complete, and the pixel work.
#include "capture/sample_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "capture/pipewire_buffers.h"
#include "capture/pipewire_formats.h"
#include "capture/pixel_ops.h"

namespace moxi {
namespace {

const uint32_t* pixels(const PixelBuffer& b) { return reinterpret_cast<const uint32_t*>(b.pixels); }

// The streams hand over only complete frames; one without pixels is not one.
TEST(CompleteFrame, NeedsAnImageWithPixels) {
  auto image = PixelBuffer::allocate(4, 4);
  EXPECT_EQ(completeFrame(SampleBuffer::screenFrame(image, 42))->image, image);
  EXPECT_FALSE(completeFrame(SampleBuffer::screenFrame(std::make_shared<PixelBuffer>(), 42)));
}

TEST(PixelOps, FitsCentredKeepingTheAspectRatioAndBlendsTheCursorClipped) {
  EXPECT_EQ(fitRect(100, 400, 200, 200), (PixelRect{75, 0, 50, 200}));
  auto src = PixelBuffer::allocate(4, 2);
  std::fill_n(reinterpret_cast<uint32_t*>(src->pixels), 8, 0xffffffffu);
  auto dst = PixelBuffer::allocate(4, 4);
  std::fill_n(reinterpret_cast<uint32_t*>(dst->pixels), 16, 0x12345678u);
  scaleToFit(*src, *dst);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(pixels(*dst)[i], (i >= 4 && i < 12) ? 0xffffffffu : 0xff000000u) << i;

  auto under = PixelBuffer::allocate(2, 2);  // opaque black
  reinterpret_cast<uint32_t*>(under->pixels)[3] = 0xffc8c8c8u;
  // A premultiplied 3 x 3 cursor hanging off the top-left corner.
  const uint32_t cursor[9] = {0xffff0000u, 0xffff0000u, 0xffff0000u, 0xffff0000u, 0,
                              0xff00ff00u, 0xffff0000u, 0xff0000ffu, 0x80404040u};
  blendCursor(*under, cursor, 3, 3, -1, -1);
  EXPECT_EQ(std::vector<uint32_t>(pixels(*under), pixels(*under) + 4),
            (std::vector<uint32_t>{0xff000000u, 0xff00ff00u, 0xff0000ffu, 0xffa4a4a4u}));
}

// A screen cast's four layouts come out as BGRA, cropped to the rectangle.
TEST(PipeWireFormats, CopiesEachLayoutAsBGRA) {
  const uint8_t red[4][4] = {{0, 0, 0xff, 0}, {0, 0, 0xff, 0xff}, {0xff, 0, 0, 0}, {0xff, 0, 0, 0xff}};
  const spa_video_format formats[4] = {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
                                       SPA_VIDEO_FORMAT_RGBA};
  for (int f = 0; f < 4; ++f) {
    SCOPED_TRACE(f);
    std::vector<uint8_t> image(3 * 2 * 4, 0);  // 3 x 2, red only at (2, 1)
    std::copy_n(red[f], 4, &image[(1 * 3 + 2) * 4]);
    auto dst = PixelBuffer::allocate(1, 1);
    copyToBGRA(image.data(), 3 * 4, formats[f], PixelRect{2, 1, 1, 1}, *dst);
    EXPECT_EQ(pixels(*dst)[0] & 0x00ffffffu, 0x00ff0000u);
  }
}

// A cast buffer's metas: damage that lists nothing means unchanged, a pts
// counts only on the monotonic clock, crops are clipped to the image.
TEST(PipeWireBuffers, ReadDamageTimesAndCrops) {
  constexpr int64_t kNow = 500'000'000'000;
  spa_meta_header header{};
  header.pts = kNow - 20'000'000;
  spa_meta_region crop{{{600, 20}, {100, 50}}};
  spa_meta_region damage[2]{};
  spa_meta metas[3] = {{SPA_META_Header, sizeof header, &header},
                       {SPA_META_VideoCrop, sizeof crop, &crop},
                       {SPA_META_VideoDamage, sizeof damage, damage}};
  spa_buffer buffer{3, 0, metas, nullptr};
  EXPECT_TRUE(damageSaysUnchanged(&buffer));
  damage[0] = {{{0, 0}, {8, 8}}};
  EXPECT_FALSE(damageSaysUnchanged(&buffer));
  EXPECT_EQ(presentationTime(&buffer, kNow), header.pts);
  header.pts = 5'000;  // another clock
  EXPECT_EQ(presentationTime(&buffer, kNow), kNow);
  EXPECT_EQ(cropRegion(&buffer, 640, 480), (PixelRect{600, 20, 40, 50}));
  buffer.n_metas = 0;
  EXPECT_FALSE(damageSaysUnchanged(&buffer)) << "no damage meta: everything changed";
  EXPECT_EQ(cropRegion(&buffer, 640, 480), (PixelRect{0, 0, 640, 480}));
}

}  // namespace
}  // namespace moxi

// A screen cast's buffers: their pixel layouts, damage, times and crops.
#include "platform/wayland/pipewire_buffers.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/wayland/pipewire_formats.h"

namespace moxi {
namespace {

const uint32_t* pixels(const PixelBuffer& b) { return reinterpret_cast<const uint32_t*>(b.pixels); }

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

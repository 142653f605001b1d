// Frames: which ones count as complete, the pixel work, and their pace.
#include "capture/sample_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "capture/frame_pacer.h"
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

  // An odd picture grows for the encoder at its top and right, so that what
  // is measured from its bottom-left corner keeps its place.
  auto odd = PixelBuffer::allocate(3, 3);
  for (uint32_t i = 0; i < 9; ++i) reinterpret_cast<uint32_t*>(odd->pixels)[i] = 0xff000000u | i;
  auto even = PixelBuffer::allocate(4, 4);
  padToEven(*odd, *even);
  EXPECT_EQ(std::vector<uint32_t>(pixels(*even), pixels(*even) + 16),
            (std::vector<uint32_t>{0xff000000u, 0xff000001u, 0xff000002u, 0xff000002u,  //
                                   0xff000000u, 0xff000001u, 0xff000002u, 0xff000002u,  //
                                   0xff000003u, 0xff000004u, 0xff000005u, 0xff000005u,  //
                                   0xff000006u, 0xff000007u, 0xff000008u, 0xff000008u}));
}

// At most 1.5 intervals' worth saved up; none while queueDepth frames are out.
TEST(FramePacer, HoldsTheRateAndCountsFramesDueWhileTheConsumerIsBehind) {
  StreamConfiguration config;
  config.minimumFrameInterval = std::chrono::nanoseconds(1000);
  config.queueDepth = 1;
  FrameOutput output;
  FramePacer pacer(output, config.queueDepth);
  PixelBufferPool pool(2);
  EXPECT_EQ(pacer.due(config, pool, 10'000), FramePacer::Due::now);
  EXPECT_EQ(pacer.due(config, pool, 10'500), FramePacer::Due::later);
  EXPECT_EQ(pacer.nanosUntilDue(config), 501);
  auto out = pool.acquire(1, 1);
  EXPECT_EQ(pacer.due(config, pool, 11'000), FramePacer::Due::consumerBehind);
  out.reset();
  EXPECT_EQ(pacer.due(config, pool, 14'000), FramePacer::Due::now);
  EXPECT_EQ(pacer.due(config, pool, 14'000), FramePacer::Due::later);
  EXPECT_EQ(output.statistics().droppedConsumerBehind, 1u);
}

}  // namespace
}  // namespace moxi

// Frames: which ones count as complete, the buffer pool, and the pixel work.
#include "capture/sample_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "capture/pixel_ops.h"
#include "capture/x11_capture_stream.h"
#include "platform/serial_queue.h"

namespace moxi {
namespace {

SampleBuffer withAttachments(std::optional<std::vector<AttachmentDictionary>> attachments,
                             std::shared_ptr<const PixelBuffer> image = PixelBuffer::allocate(4, 4)) {
  SampleBuffer s;
  s.valid = true;
  s.attachments = std::move(attachments);
  s.image = std::move(image);
  s.presentationTimeNs = 42;
  return s;
}

TEST(CompleteFrame, NeedsStatusZeroInTheFirstAttachmentAndAnImage) {
  auto image = PixelBuffer::allocate(4, 4);
  auto frame = completeFrame(SampleBuffer::screenFrame(image, 42));
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->image, image);
  EXPECT_EQ(frame->sample.presentationTimeNs, 42);

  const std::vector<std::pair<const char*, SampleBuffer>> absent = {
      {"no attachments", withAttachments(std::nullopt)},
      {"an empty list", withAttachments(std::vector<AttachmentDictionary>{})},
      {"an empty dictionary", withAttachments(std::vector<AttachmentDictionary>{{}})},
      {"no status", withAttachments(std::vector<AttachmentDictionary>{{{"other", int64_t{0}}}})},
      {"a text status", withAttachments(std::vector<AttachmentDictionary>{{{kFrameInfoStatus, std::string("0")}}})},
      {"a real status", withAttachments(std::vector<AttachmentDictionary>{{{kFrameInfoStatus, 0.0}}})},
      {"status only in the second dictionary",
       withAttachments(std::vector<AttachmentDictionary>{{}, {{kFrameInfoStatus, int64_t{0}}}})},
      {"idle", SampleBuffer::screenFrame(image, 42, FrameStatus::idle)},
      {"started", SampleBuffer::screenFrame(image, 42, FrameStatus::started)},
      {"no image", SampleBuffer::screenFrame(nullptr, 42)},
      {"an image without pixels", SampleBuffer::screenFrame(std::make_shared<PixelBuffer>(), 42)},
  };
  for (const auto& [what, sample] : absent) EXPECT_FALSE(completeFrame(sample)) << what;
}

TEST(PixelBufferPool, LendsAtMostItsBuffersAndTakesThemBack) {
  std::shared_ptr<PixelBuffer> survivor;
  int released = 0;
  {
    PixelBufferPool pool(2);
    pool.setReleaseCallback([&] { ++released; });
    auto a = pool.acquire(8, 8);
    auto b = pool.acquire(8, 8);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->stride, 32);
    EXPECT_EQ(pool.outstanding(), 2);
    EXPECT_FALSE(pool.acquire(8, 8)) << "both buffers are out";
    uint8_t* memory = a->pixels;
    a.reset();
    EXPECT_EQ(released, 1);
    EXPECT_EQ(pool.outstanding(), 1);
    auto c = pool.acquire(4, 4);
    EXPECT_EQ(c->pixels, memory) << "a returned buffer is reused";
    c.reset();
    // A larger size than any free buffer gives up a small one.
    auto big = pool.acquire(64, 64);
    ASSERT_TRUE(big);
    EXPECT_EQ(pool.takeRetired().size(), 1u);
    survivor = std::move(b);
  }
  // The pool is gone; its buffer still is valid and goes away quietly.
  survivor->pixels[0] = 1;
  survivor.reset();
}

TEST(PixelOps, FitsKeepingTheAspectRatio) {
  EXPECT_EQ(fitRect(1280, 720, 640, 480), (PixelRect{0, 60, 640, 360}));
  EXPECT_EQ(fitRect(100, 400, 200, 200), (PixelRect{75, 0, 50, 200}));
  EXPECT_EQ(fitRect(640, 480, 640, 480), (PixelRect{0, 0, 640, 480}));
  EXPECT_EQ(fitRect(0, 480, 640, 480), PixelRect{});

  auto src = PixelBuffer::allocate(4, 2);
  std::fill_n(reinterpret_cast<uint32_t*>(src->pixels), 8, 0xffffffffu);
  auto dst = PixelBuffer::allocate(4, 4);
  std::fill_n(reinterpret_cast<uint32_t*>(dst->pixels), 16, 0x12345678u);
  scaleToFit(*src, *dst);
  const auto* px = reinterpret_cast<const uint32_t*>(dst->pixels);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(px[i], (i >= 4 && i < 12) ? 0xffffffffu : 0xff000000u) << i;
}

TEST(PixelOps, BlendsThePremultipliedCursorClipped) {
  auto dst = PixelBuffer::allocate(2, 2);  // opaque black
  reinterpret_cast<uint32_t*>(dst->pixels)[3] = 0xffc8c8c8u;
  // A 3 x 3 cursor hanging off the top-left corner: its lower right 2 x 2 lands.
  const uint32_t cursor[9] = {0xffff0000u, 0xffff0000u, 0xffff0000u,  //
                              0xffff0000u, 0x00000000u, 0xff00ff00u,  //
                              0xffff0000u, 0xff0000ffu, 0x80404040u};
  blendCursor(*dst, cursor, 3, 3, -1, -1);
  const auto* px = reinterpret_cast<const uint32_t*>(dst->pixels);
  EXPECT_EQ(px[0], 0xff000000u);  // transparent: unchanged
  EXPECT_EQ(px[1], 0xff00ff00u);
  EXPECT_EQ(px[2], 0xff0000ffu);
  EXPECT_EQ(px[3], 0xffa4a4a4u);  // 0x40 + 0xc8 * (1 - 0x80/255)
}

TEST(X11CaptureStream, RefusesAnOutputWithoutADisplay) {
  X11CaptureStream stream(ContentFilter::desktopIndependentWindow(1), {}, ":9999");
  SerialQueue queue("test");
  EXPECT_FALSE(stream.addStreamOutput([](const SampleBuffer&) {}, queue));
  EXPECT_EQ(stream.unavailableReason(), "no X display");
  stream.startCapture();  // nothing happens, nothing breaks
  bool stopped = false;
  std::promise<void> done;
  stream.stopCapture([&] {
    stopped = true;
    done.set_value();
  });
  done.get_future().wait();
  EXPECT_TRUE(stopped);
}

}  // namespace
}  // namespace moxi

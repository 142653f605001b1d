// The PipeWire capture stream against a private PipeWire daemon and session
// manager, reading the tests' own screen-cast producer.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/pipewire_capture_stream.h"
#include "harness/pipewire_daemon.h"
#include "harness/pipewire_producer.h"
#include "harness/test_desktop.h"
#include "platform/clock.h"
#include "platform/serial_queue.h"

namespace moxi {
namespace {

using namespace std::chrono_literals;
using test::ProducedFrame;
using test::PipeWireProducer;

class DaemonEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    try {
      daemon = std::make_unique<test::PipeWireDaemon>();
    } catch (const std::exception& e) {
      // Without PipeWire none of these tests can run: fail the program loudly.
      std::fprintf(stderr, "pipewire test daemon: %s\n", e.what());
      std::exit(1);
    }
  }
  void TearDown() override { daemon.reset(); }
  std::unique_ptr<test::PipeWireDaemon> daemon;
};
auto* const daemonEnvironment = static_cast<DaemonEnvironment*>(::testing::AddGlobalTestEnvironment(new DaemonEnvironment));

// What a delivered frame showed (the image itself goes back to the pool).
struct Seen {
  int width = 0, height = 0;
  int64_t time = 0;
  std::vector<uint32_t> pixels;  // B,G,R,A bytes read as 0xAARRGGBB
  uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x] | 0xff000000u; }
};

// One stream on one producer's node, collecting what it delivers.
struct Capture {
  SerialQueue queue{"test-frames"};
  std::mutex mutex;
  std::vector<Seen> frames;
  std::vector<StreamCursor> cursors;
  std::vector<std::string> endings;
  std::unique_ptr<PipeWireCaptureStream> stream;

  Capture(uint32_t node, StreamConfiguration config, int fd = -1) {
    stream = std::make_unique<PipeWireCaptureStream>(PipeWireSource{fd, node}, config, [this](StreamCursor c) {
      std::lock_guard lock(mutex);
      cursors.push_back(c);
    });
    stream->setEndedHandler([this](std::string reason) {
      std::lock_guard lock(mutex);
      endings.push_back(std::move(reason));
    });
  }
  bool start() {
    if (!stream->addStreamOutput([this](const SampleBuffer& s) { record(s); }, queue)) return false;
    stream->startCapture();
    return true;
  }
  void record(const SampleBuffer& s) {
    auto frame = completeFrame(s);
    if (!frame) return;
    const PixelBuffer& p = *frame->image;
    Seen seen{p.width, p.height, s.presentationTimeNs, {}};
    for (int y = 0; y < p.height; ++y) {
      const auto* row = reinterpret_cast<const uint32_t*>(p.pixels + static_cast<size_t>(y) * p.stride);
      seen.pixels.insert(seen.pixels.end(), row, row + p.width);
    }
    std::lock_guard lock(mutex);
    frames.push_back(std::move(seen));
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return frames.size();
  }
  Seen last() {
    std::lock_guard lock(mutex);
    return frames.back();
  }
  // Sends `frame` until `seen` holds: a buffer sent while the consumer has
  // not taken the previous one replaces it, as with any screen cast.
  static bool sendUntil(PipeWireProducer& producer, const ProducedFrame& frame, const std::function<bool()>& seen) {
    return test::waitUntil([&] { return producer.send(frame) && test::waitUntil(seen, 300ms); }, 10s);
  }
  bool deliver(PipeWireProducer& producer, const ProducedFrame& frame) {
    const size_t before = count();
    return sendUntil(producer, frame, [&] { return count() > before; });
  }
};

StreamConfiguration config(int width = 0, int height = 0, bool cursor = true) {
  StreamConfiguration c;
  c.width = width;
  c.height = height;
  c.showsCursor = cursor;
  c.minimumFrameInterval = 0ns;  // the tests count frames, not time
  return c;
}

// Frames arrive in BGRA whatever the producer's layout, with its pts when
// that is on the monotonic clock; corrupted buffers and ones whose damage
// says nothing changed give no frame.
TEST(PipeWireCaptureStream, DeliversColoursTimesAndOnlyChangedFrames) {
  for (spa_video_format format : {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_RGBx}) {
    SCOPED_TRACE(format == SPA_VIDEO_FORMAT_BGRx ? "BGRx" : "RGBx");
    PipeWireProducer producer(format, 64, 48);
    Capture capture(producer.nodeID(), config());
    ASSERT_EQ(capture.stream->unavailableReason(), "");
    ASSERT_TRUE(capture.start());
    ASSERT_TRUE(producer.waitStreaming(10s)) << "the session manager did not link the stream";
    ASSERT_TRUE(capture.deliver(producer, {.colour = 0xff2040c0}));
    EXPECT_EQ(capture.last().width, 64);
    EXPECT_EQ(capture.last().height, 48);
    EXPECT_EQ(capture.last().at(10, 10), 0xff2040c0u);
    EXPECT_EQ(capture.stream->sourceSize(), (Size{64, 48}));

    std::this_thread::sleep_for(10ms);  // frames never go back in time: stay after the last one
    const int64_t pts = monotonicNanos() - 3'000'000;
    ASSERT_TRUE(capture.deliver(producer, {.colour = 0xff10e010, .pts = pts}));
    EXPECT_EQ(capture.last().time, pts);
    const int64_t before = monotonicNanos();
    ASSERT_TRUE(capture.deliver(producer, {.colour = 0xffe01010, .pts = 12345}));  // another clock
    EXPECT_GE(capture.last().time, before);
    EXPECT_EQ(capture.last().at(63, 47), 0xffe01010u);

    const size_t count = capture.count();
    ASSERT_TRUE(Capture::sendUntil(producer, {.colour = 0xff0000ff, .damaged = false},
                                   [&] { return capture.stream->statistics().buffersUnchanged >= 1; }));
    ASSERT_TRUE(Capture::sendUntil(producer, {.colour = 0xffffff00, .corrupted = true},
                                   [&] { return capture.stream->statistics().buffersUnusable >= 1; }));
    ASSERT_TRUE(capture.deliver(producer, {.colour = 0xff00ffff}));
    EXPECT_EQ(capture.count(), count + 1) << "an unchanged or corrupted buffer made a frame";
    EXPECT_EQ(capture.last().at(0, 0), 0xff00ffffu);
  }
}

// Crop regions are applied; a source that changes size keeps the output
// size, fitted with its aspect kept; a fixed output size scales the source.
TEST(PipeWireCaptureStream, CropsAndKeepsTheOutputSizeThroughResizes) {
  PipeWireProducer producer(SPA_VIDEO_FORMAT_BGRx, 160, 120);
  Capture capture(producer.nodeID(), config());
  ASSERT_TRUE(capture.start());
  ASSERT_TRUE(producer.waitStreaming(10s));
  ASSERT_TRUE(capture.deliver(producer, {.colour = 0xff3050a0, .crop = spa_region{{20, 10}, {80, 60}}}));
  Seen cropped = capture.last();
  ASSERT_EQ(cropped.width, 80);
  ASSERT_EQ(cropped.height, 60);
  for (auto [x, y] : {std::pair{0, 0}, {79, 59}, {40, 30}}) EXPECT_EQ(cropped.at(x, y), 0xff3050a0u) << x << "," << y;

  // Without a crop the whole 160 x 120 buffer fits into the 80 x 60 output.
  ASSERT_TRUE(capture.deliver(producer, {.colour = 0xff3050a0}));
  EXPECT_EQ(capture.last().width, 80);
  EXPECT_EQ(capture.last().at(40, 30), 0xff3050a0u);

  producer.resize(320, 60);  // twice as wide, half as high: a 80 x 15 band in the middle
  ASSERT_TRUE(producer.waitStreaming(10s)) << "the producer's new size was not agreed";
  ASSERT_TRUE(capture.deliver(producer, {.colour = 0xffc03020}));
  Seen resized = capture.last();
  ASSERT_EQ(resized.width, 80);
  ASSERT_EQ(resized.height, 60);
  EXPECT_EQ(resized.at(40, 30), 0xffc03020u);
  EXPECT_EQ(resized.at(40, 2), 0xff000000u) << "the band is not fitted with its aspect kept";
  EXPECT_EQ(resized.at(40, 57), 0xff000000u);
  EXPECT_EQ(capture.stream->sourceSize(), (Size{320, 60}));

  // A new size shows at once, on the content there is, and stays.
  capture.stream->updateConfiguration(config(32, 24));
  ASSERT_TRUE(test::waitUntil([&] { return capture.last().width == 32; }, 5s));
  EXPECT_EQ(capture.last().at(16, 12), 0xffc03020u);
  ASSERT_TRUE(capture.deliver(producer, {.colour = 0xff20c040}));
  EXPECT_EQ(capture.last().width, 32);
  EXPECT_EQ(capture.last().at(16, 12), 0xff20c040u);
}

// Cursor positions are reported in stream pixels, and the bitmap is drawn
// at the position minus the hot spot only when the cursor is shown; a move
// alone makes a frame then.
TEST(PipeWireCaptureStream, ReportsAndDrawsTheCursor) {
  for (bool shows : {true, false}) {
    SCOPED_TRACE(shows ? "cursor shown" : "cursor hidden");
    PipeWireProducer producer(SPA_VIDEO_FORMAT_RGBx, 100, 80);
    Capture capture(producer.nodeID(), config(0, 0, shows));
    ASSERT_TRUE(capture.start());
    ASSERT_TRUE(producer.waitStreaming(10s));
    test::ProducedCursor pointer{.x = 30, .y = 20, .hotX = 2, .hotY = 3, .size = 6, .colour = 0xffffffff};
    ASSERT_TRUE(capture.deliver(producer, {.colour = 0xff102030, .cursor = pointer}));
    Seen seen = capture.last();
    const uint32_t drawn = shows ? 0xffffffffu : 0xff102030u;
    EXPECT_EQ(seen.at(28, 17), drawn);  // the bitmap's top-left pixel
    EXPECT_EQ(seen.at(33, 22), drawn);
    EXPECT_EQ(seen.at(34, 23), 0xff102030u);
    EXPECT_EQ(seen.at(27, 17), 0xff102030u);

    pointer.x = 60;
    const size_t before = capture.count();
    ASSERT_TRUE(Capture::sendUntil(producer, {.colour = 0xff102030, .damaged = false, .pixels = false, .cursor = pointer},
                                   [&] {
                                     std::lock_guard lock(capture.mutex);
                                     return capture.cursors.size() >= 2;
                                   }));
    if (shows) {
      ASSERT_TRUE(test::waitUntil([&] { return capture.count() > before; }, 5s)) << "a cursor move made no frame";
      EXPECT_EQ(capture.last().at(58, 17), 0xffffffffu);
      EXPECT_EQ(capture.last().at(28, 17), 0xff102030u);
    }
    ASSERT_TRUE(test::waitUntil(
        [&] {
          std::lock_guard lock(capture.mutex);
          return capture.cursors.size() >= 2;
        },
        5s));
    std::lock_guard lock(capture.mutex);
    EXPECT_EQ(capture.cursors[0], (StreamCursor{true, 30, 20, 100, 80}));
    EXPECT_EQ(capture.cursors[1], (StreamCursor{true, 60, 20, 100, 80}));
  }
}

// While the consumer holds queueDepth frames, changes are counted as dropped
// and nothing more is delivered; a frame handed back lets the newest through.
TEST(PipeWireCaptureStream, HoldsToTheQueueDepth) {
  PipeWireProducer producer(SPA_VIDEO_FORMAT_BGRx, 32, 32);
  StreamConfiguration c = config();
  c.queueDepth = 2;
  SerialQueue queue("held-frames");
  std::mutex mutex;
  std::vector<SampleBuffer> held;
  PipeWireCaptureStream stream({-1, producer.nodeID()}, c);
  ASSERT_TRUE(stream.addStreamOutput(
      [&](const SampleBuffer& s) {
        std::lock_guard lock(mutex);
        held.push_back(s);
      },
      queue));
  stream.startCapture();
  ASSERT_TRUE(producer.waitStreaming(10s));
  auto heldCount = [&] {
    std::lock_guard lock(mutex);
    return held.size();
  };
  for (uint32_t colour : {0xff000010u, 0xff000020u}) {
    const size_t before = heldCount();
    ASSERT_TRUE(Capture::sendUntil(producer, {.colour = colour}, [&] { return heldCount() > before; }));
  }
  for (uint64_t dropped : {1u, 2u}) {
    ASSERT_TRUE(Capture::sendUntil(producer, {.colour = 0xff000030u + static_cast<uint32_t>(dropped)},
                                   [&] { return stream.statistics().framesDroppedConsumerBehind >= dropped; }));
  }
  EXPECT_EQ(heldCount(), 2u);
  {
    std::lock_guard lock(mutex);
    held.erase(held.begin());
  }
  ASSERT_TRUE(test::waitUntil([&] { return heldCount() == 2; }, 5s)) << "a returned frame did not let the due one through";
  std::lock_guard lock(mutex);
  EXPECT_EQ(*reinterpret_cast<const uint32_t*>(held.back().image->pixels) | 0xff000000u, 0xff000032u);
}

// The stream ends by itself, once and with a reason, when the node goes or
// the connection closes; stopping while frames flow completes once and
// nothing arrives after.
TEST(PipeWireCaptureStream, EndsOnceWhenTheSourceGoesAndStopsWhileFramesFlow) {
  {
    PipeWireProducer producer(SPA_VIDEO_FORMAT_BGRx, 64, 64);
    Capture capture(producer.nodeID(), config());
    ASSERT_TRUE(capture.start());
    ASSERT_TRUE(producer.waitStreaming(10s));
    ASSERT_TRUE(capture.deliver(producer, {.colour = 0xff445566}));
    producer.goAway();
    ASSERT_TRUE(test::waitUntil(
        [&] {
          std::lock_guard lock(capture.mutex);
          return !capture.endings.empty();
        },
        10s));
    std::this_thread::sleep_for(200ms);
    std::lock_guard lock(capture.mutex);
    EXPECT_EQ(capture.endings, std::vector<std::string>{"the shared window was closed"});
    EXPECT_TRUE(capture.stream->statistics().ended);
  }
  {
    // Through a connection of its own, as the portal hands out; the daemon goes.
    test::PipeWireDaemon own(false);
    PipeWireProducer producer(SPA_VIDEO_FORMAT_BGRx, 64, 64, own.openConnection());
    Capture capture(producer.nodeID(), config(), own.openConnection());
    ASSERT_EQ(capture.stream->unavailableReason(), "");
    ASSERT_TRUE(capture.start());
    ASSERT_TRUE(producer.waitStreaming(10s));
    ASSERT_TRUE(capture.deliver(producer, {.colour = 0xff445566}));
    own.stopDaemon();
    ASSERT_TRUE(test::waitUntil(
        [&] {
          std::lock_guard lock(capture.mutex);
          return !capture.endings.empty();
        },
        10s));
    std::lock_guard lock(capture.mutex);
    ASSERT_EQ(capture.endings.size(), 1u);
    EXPECT_TRUE(capture.endings[0] == "the desktop ended the screen cast" ||
                capture.endings[0].rfind("lost the connection to PipeWire", 0) == 0)
        << capture.endings[0];
  }
  {
    PipeWireProducer producer(SPA_VIDEO_FORMAT_BGRx, 64, 64);
    Capture capture(producer.nodeID(), config());
    ASSERT_TRUE(capture.start());
    ASSERT_TRUE(producer.waitStreaming(10s));
    std::atomic<bool> sending{true};
    std::thread sender([&] {
      for (uint32_t i = 0; sending; ++i) producer.send({.colour = 0xff000000u | i});
    });
    ASSERT_TRUE(test::waitUntil([&] { return capture.count() >= 5; }, 10s));
    std::atomic<int> completions{0};
    capture.stream->stopCapture([&] {
      capture.stream.reset();  // the stream may go from its own completion
      ++completions;
    });
    ASSERT_TRUE(test::waitUntil([&] { return completions == 1; }, 5s));
    const size_t stoppedAt = capture.count();
    std::this_thread::sleep_for(200ms);
    sending = false;
    sender.join();
    EXPECT_EQ(capture.count(), stoppedAt) << "frames arrived after the stop completed";
    EXPECT_EQ(completions, 1);
    std::lock_guard lock(capture.mutex);
    EXPECT_TRUE(capture.endings.empty()) << "a stop is not an ending";
  }
  // A node that is not there, or an fd that is no PipeWire connection, is refused with a reason.
  SerialQueue queue("unused");
  for (int fd : {-1, open("/dev/null", O_RDWR | O_CLOEXEC)}) {
    PipeWireCaptureStream refused({fd, fd < 0 ? 987654u : 1u}, config());
    EXPECT_NE(refused.unavailableReason(), "") << fd;
    EXPECT_FALSE(refused.addStreamOutput([](const SampleBuffer&) {}, queue));
  }
}

}  // namespace
}  // namespace moxi

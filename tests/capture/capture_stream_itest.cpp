// The capture stream on a real X server with a window manager, recording
// real windows into the writer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <thread>

#include "capture/x11_capture_stream.h"
#include "capture_support.h"
#include "harness/media_files.h"
#include "harness/test_desktop.h"
#include "harness/test_files.h"
#include "platform/clock.h"
#include "recording_pipeline_support.h"
#include "test_windows_support.h"

namespace moxi {
namespace {

using namespace std::chrono_literals;
using test::AnimatedWindow;
using test::RecordingPipeline;

auto* const desktopEnvironment = ::testing::AddGlobalTestEnvironment(
    new test::DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));

StreamConfiguration configurationFor(int width, int height, bool cursor = true) {
  StreamConfiguration c;
  c.width = width;
  c.height = height;
  c.showsCursor = cursor;
  return c;
}

class CaptureStreamTest : public ::testing::Test {
 protected:
  std::string dir = test::makeTempDirectory("moxi-capture-");
  std::string path = dir + "/tmp-1.mp4";
  void TearDown() override { test::runCommand({"rm", "-rf", dir}); }
  static std::string title() {
    return "moxi-test-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
};

// About three seconds of a 60 frames-per-second window: an H.264 file of the
// window's size whose frames and duration follow the capture.
TEST_F(CaptureStreamTest, RecordsAnAnimatedWindowAtItsFrameRate) {
  AnimatedWindow window(640, 480, 60, title());
  RecordingPipeline pipeline(ContentFilter::desktopIndependentWindow(window.id()), configurationFor(640, 480), path);
  ASSERT_TRUE(pipeline.start());
  ASSERT_TRUE(pipeline.waitForFrames(1, 10s)) << "no frame from the window";
  std::this_thread::sleep_for(3s);
  auto result = pipeline.stop();
  ASSERT_TRUE(result.finished);
  ASSERT_TRUE(result.writerOk) << result.error;
  for (const auto& f : result.frames) ASSERT_TRUE(f.width == 640 && f.height == 480);

  const double seconds = (result.endNs - result.firstFrameNs) / 1e9;
  auto probe = test::probeFile(path);
  ASSERT_TRUE(probe.video()) << probe.error;
  EXPECT_EQ(probe.video()->codecName, "h264");
  EXPECT_EQ(probe.video()->width, 640);
  EXPECT_EQ(probe.video()->height, 480);
  EXPECT_EQ(probe.video()->frames, static_cast<int64_t>(result.appended));
  EXPECT_NEAR(probe.video()->duration, seconds, 0.2);
  // Never more than 60 frames a second; on a loaded machine the window
  // itself may draw fewer, so the lower bound only catches a stalled stream.
  const double fps = result.appended / seconds;
  std::printf("captured %.1f frames/s over %.2f s (%lu changes seen, %lu frames dropped while the writer was behind)\n",
              fps, seconds, static_cast<unsigned long>(result.capture.damageEvents),
              static_cast<unsigned long>(result.capture.framesDroppedConsumerBehind));
  EXPECT_LE(result.frames.size(), static_cast<size_t>(60 * seconds + 3));
  EXPECT_GE(fps, 30);
}

// A window that does not change gives its first frame and then (almost) nothing.
TEST_F(CaptureStreamTest, AnUnchangingWindowGivesFramesOnlyAtTheStart) {
  test::StaticWindow window(400, 300, title());
  RecordingPipeline pipeline(ContentFilter::desktopIndependentWindow(window.id()),
                             configurationFor(400, 300, /*cursor=*/false), path);
  ASSERT_TRUE(pipeline.start());
  ASSERT_TRUE(pipeline.waitForFrames(1, 10s)) << "no first frame";
  std::this_thread::sleep_for(2s);
  auto result = pipeline.stop();
  EXPECT_GE(result.frames.size(), 1u);
  EXPECT_LE(result.frames.size(), 4u);
  EXPECT_TRUE(result.writerOk) << result.error;
}

// The output keeps its size while the window moves and changes size; frames
// keep coming.
TEST_F(CaptureStreamTest, FollowsTheWindowThroughMovesAndResizes) {
  AnimatedWindow window(320, 240, 30, title());
  RecordingPipeline pipeline(ContentFilter::desktopIndependentWindow(window.id()), configurationFor(320, 240), path);
  ASSERT_TRUE(pipeline.start());
  ASSERT_TRUE(pipeline.waitForFrames(5, 10s));
  const std::string id = std::to_string(window.id());
  ASSERT_EQ(test::runCommand({"xdotool", "windowmove", id, "300", "200"}).exitCode, 0);
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(test::runCommand({"xdotool", "windowsize", id, "500", "260"}).exitCode, 0);
  std::this_thread::sleep_for(300ms);
  const size_t afterResize = pipeline.frameCount();
  ASSERT_TRUE(pipeline.waitForFrames(afterResize + 10, 10s)) << "frames stopped after the resize";
  ASSERT_EQ(test::runCommand({"xdotool", "windowsize", id, "200", "400"}).exitCode, 0);
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(pipeline.waitForFrames(pipeline.frameCount() + 10, 10s)) << "frames stopped after the second resize";
  auto result = pipeline.stop();
  ASSERT_TRUE(result.writerOk) << result.error;
  for (const auto& f : result.frames) ASSERT_TRUE(f.width == 320 && f.height == 240);
  auto probe = test::probeFile(path);
  ASSERT_TRUE(probe.video()) << probe.error;
  EXPECT_EQ(probe.video()->frames, static_cast<int64_t>(result.appended));
}

// A window closing during the capture just ends the frames; the recording
// finishes as usual.
TEST_F(CaptureStreamTest, AWindowThatClosesEndsTheFrames) {
  AnimatedWindow window(320, 240, 30, title());
  RecordingPipeline pipeline(ContentFilter::desktopIndependentWindow(window.id()), configurationFor(320, 240), path);
  ASSERT_TRUE(pipeline.start());
  ASSERT_TRUE(pipeline.waitForFrames(10, 10s));
  window.close();
  ASSERT_TRUE(test::waitUntil([&] { return pipeline.stream().statistics().windowClosed; }, 20s));
  const size_t frames = pipeline.frameCount();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(pipeline.frameCount(), frames);
  auto result = pipeline.stop();
  ASSERT_TRUE(result.writerOk) << result.error;
  auto probe = test::probeFile(path);
  ASSERT_TRUE(probe.video()) << probe.error;
  EXPECT_EQ(probe.video()->frames, static_cast<int64_t>(result.appended));
}

// A consumer that keeps every frame gets queueDepth of them; the rest are
// counted as dropped until it lets go, then frames flow again.
TEST_F(CaptureStreamTest, HandsOutNoMoreThanTheQueueDepth) {
  AnimatedWindow window(320, 240, 60, title());
  StreamConfiguration config = configurationFor(320, 240);
  // Declared before the queue and the stream: deliveries still queued when
  // the test ends run while they exist.
  std::mutex mutex;
  std::vector<SampleBuffer> kept;
  bool keep = true;
  size_t seen = 0;
  SerialQueue queue("capture-test");
  X11CaptureStream stream(ContentFilter::desktopIndependentWindow(window.id()), config);
  ASSERT_TRUE(stream.addStreamOutput(
      [&](const SampleBuffer& s) {
        std::lock_guard lock(mutex);
        ++seen;
        if (keep) kept.push_back(s);
      },
      queue));
  EXPECT_FALSE(stream.addStreamOutput([](const SampleBuffer&) {}, queue)) << "a second output";
  stream.startCapture();
  ASSERT_TRUE(test::waitUntil([&] { return stream.statistics().framesDroppedConsumerBehind >= 10; }, 10s))
      << "delivered " << stream.statistics().framesDelivered << ", failed " << stream.statistics().framesFailed
      << ", damage events " << stream.statistics().damageEvents;
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(kept.size(), 5u);
    keep = false;
    kept.clear();
  }
  ASSERT_TRUE(test::waitUntil(
      [&] {
        std::lock_guard lock(mutex);
        return seen >= 20;
      },
      10s));
  std::promise<std::thread::id> stopped;
  int completions = 0;
  stream.stopCapture([&] {
    ++completions;
    stopped.set_value(std::this_thread::get_id());
  });
  auto f = stopped.get_future();
  ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
  EXPECT_NE(f.get(), std::this_thread::get_id());
  queue.drain();
  std::lock_guard lock(mutex);
  const size_t afterStop = seen;
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(seen, afterStop);
  EXPECT_EQ(completions, 1);
}

// The display filter reads the screen in the source rectangle (menus and
// pop-ups included); a new configuration moves and resizes it.
TEST_F(CaptureStreamTest, DisplayFilterFollowsTheSourceRectangle) {
  AnimatedWindow window(320, 240, 30, title());
  StreamConfiguration config = configurationFor(320, 240);
  config.sourceRect = Rect{0, 0, 320, 240};  // ffplay sits at the top-left corner, without a border
  RecordingPipeline pipeline(ContentFilter::display(0, {window.pid()}, window.id()), config, path);
  ASSERT_TRUE(pipeline.start());
  ASSERT_TRUE(pipeline.waitForFrames(10, 10s)) << "the animation does not show in the region";
  config.width = 160;
  config.height = 100;
  config.sourceRect = Rect{-40, 0, 160, 100};  // partly off the screen
  pipeline.stream().updateConfiguration(config);
  const size_t before = pipeline.frameCount();
  ASSERT_TRUE(pipeline.waitForFrames(before + 10, 10s));
  auto result = pipeline.stop();
  ASSERT_TRUE(result.writerOk) << result.error;
  EXPECT_EQ(result.frames.front().width, 320);
  EXPECT_EQ(result.frames.back().width, 160);
  EXPECT_EQ(result.frames.back().height, 100);
}

}  // namespace
}  // namespace moxi

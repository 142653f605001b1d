// The capture stream on a real X server with a window manager: which frames
// real windows give, at which size, and how many are handed out at once.
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>

#include "capture/x11_capture_stream.h"
#include "platform/serial_queue.h"
#include "harness/test_desktop.h"
#include "harness/test_window.h"
#include "test_windows_support.h"

namespace moxi {
namespace {

using namespace std::chrono_literals;
using test::AnimatedWindow;
using test::waitUntil;

auto* const desktopEnvironment = ::testing::AddGlobalTestEnvironment(
    new test::DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));

StreamConfiguration configurationFor(int width, int height) {
  StreamConfiguration c;
  c.width = width;
  c.height = height;
  return c;
}

// The sizes of the complete frames a stream delivers; keeps the last
// `keep` frames when asked to, as a consumer that is behind does.
struct Frames {
  std::mutex mutex;
  std::vector<std::pair<int, int>> sizes;
  std::vector<SampleBuffer> kept;
  bool keep = false;
  size_t count() {
    std::lock_guard lock(mutex);
    return sizes.size();
  }
  bool waitFor(size_t n) { return waitUntil([&] { return count() >= n; }, 10s); }
  // Declared before the queue and the stream: deliveries still queued when
  // the test ends run while this exists.
  SerialQueue queue{"capture-test"};
  bool attach(X11CaptureStream& stream) {
    return stream.addStreamOutput(
        [this](const SampleBuffer& s) {
          auto frame = completeFrame(s);
          if (!frame) return;
          std::lock_guard lock(mutex);
          sizes.push_back({frame->image->width, frame->image->height});
          if (keep) kept.push_back(s);
        },
        queue);
  }
};

void stop(X11CaptureStream& stream) {
  std::promise<void> stopped;
  stream.stopCapture([&] { stopped.set_value(); });
  ASSERT_EQ(stopped.get_future().wait_for(5s), std::future_status::ready);
}

// The output keeps its size while the window moves and changes size; frames
// keep coming until the window closes.
TEST(CaptureStream, FollowsTheWindowThroughMovesAndResizesUntilItCloses) {
  AnimatedWindow window(320, 240, 30, test::uniqueTitle("moxi-capture"));
  Frames frames;
  X11CaptureStream stream(ContentFilter::desktopIndependentWindow(window.id()), configurationFor(320, 240));
  ASSERT_TRUE(frames.attach(stream));
  EXPECT_FALSE(stream.addStreamOutput([](const SampleBuffer&) {}, frames.queue)) << "a second output";
  stream.startCapture();
  ASSERT_TRUE(frames.waitFor(5)) << "no frames from the window";
  const std::string id = std::to_string(window.id());
  for (auto geometry : {std::vector<std::string>{"windowmove", id, "300", "200"}, {"windowsize", id, "500", "260"},
                        {"windowsize", id, "200", "400"}}) {
    test::xdotool(geometry);
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(frames.waitFor(frames.count() + 10)) << "frames stopped after " << geometry[0];
  }
  window.close();
  ASSERT_TRUE(waitUntil([&] { return stream.statistics().windowClosed; }, 20s));
  const size_t atClose = frames.count();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(frames.count(), atClose);
  stop(stream);
  frames.queue.drain();
  std::lock_guard lock(frames.mutex);
  for (const auto& size : frames.sizes) ASSERT_EQ(size, std::make_pair(320, 240));
}

// A window that does not change gives its first frame and then (almost) nothing.
TEST(CaptureStream, AnUnchangingWindowGivesFramesOnlyAtTheStart) {
  test::StaticWindow window(400, 300, test::uniqueTitle("moxi-capture"));
  Frames frames;
  StreamConfiguration config = configurationFor(400, 300);
  config.showsCursor = false;
  X11CaptureStream stream(ContentFilter::desktopIndependentWindow(window.id()), config);
  ASSERT_TRUE(frames.attach(stream));
  stream.startCapture();
  ASSERT_TRUE(frames.waitFor(1)) << "no first frame";
  std::this_thread::sleep_for(2s);
  stop(stream);
  EXPECT_LE(frames.count(), 4u);
}

// A consumer that keeps every frame gets queueDepth of them; the rest are
// counted as dropped until it lets go, then frames flow again. Nothing is
// delivered once the stop has completed, on another thread.
TEST(CaptureStream, HandsOutNoMoreThanTheQueueDepth) {
  AnimatedWindow window(320, 240, 60, test::uniqueTitle("moxi-capture"));
  Frames frames;
  frames.keep = true;
  X11CaptureStream stream(ContentFilter::desktopIndependentWindow(window.id()), configurationFor(320, 240));
  ASSERT_TRUE(frames.attach(stream));
  stream.startCapture();
  ASSERT_TRUE(waitUntil([&] { return stream.statistics().framesDroppedConsumerBehind >= 10; }, 10s))
      << "delivered " << stream.statistics().framesDelivered << ", failed " << stream.statistics().framesFailed
      << ", damage events " << stream.statistics().damageEvents;
  {
    std::lock_guard lock(frames.mutex);
    EXPECT_EQ(frames.kept.size(), 5u);
    frames.keep = false;
    frames.kept.clear();
  }
  ASSERT_TRUE(frames.waitFor(20));
  std::promise<std::thread::id> stopped;
  int completions = 0;
  stream.stopCapture([&] {
    ++completions;
    stopped.set_value(std::this_thread::get_id());
  });
  auto f = stopped.get_future();
  ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
  EXPECT_NE(f.get(), std::this_thread::get_id());
  frames.queue.drain();
  const size_t afterStop = frames.count();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(frames.count(), afterStop);
  EXPECT_EQ(completions, 1);
}

// The display filter reads the screen in the source rectangle (menus and
// pop-ups included); a new configuration moves and resizes it.
TEST(CaptureStream, DisplayFilterFollowsTheSourceRectangle) {
  AnimatedWindow window(320, 240, 30, test::uniqueTitle("moxi-capture"));
  Frames frames;
  StreamConfiguration config = configurationFor(320, 240);
  config.sourceRect = Rect{0, 0, 320, 240};  // ffplay sits at the top-left corner, without a border
  X11CaptureStream stream(ContentFilter::display(0, {window.pid()}, window.id()), config);
  ASSERT_TRUE(frames.attach(stream));
  stream.startCapture();
  ASSERT_TRUE(frames.waitFor(10)) << "the animation does not show in the region";
  config.width = 160;
  config.height = 100;
  config.sourceRect = Rect{-40, 0, 160, 100};  // partly off the screen
  stream.updateConfiguration(config);
  ASSERT_TRUE(frames.waitFor(frames.count() + 10));
  stop(stream);
  std::lock_guard lock(frames.mutex);
  EXPECT_EQ(frames.sizes.front(), std::make_pair(320, 240));
  EXPECT_EQ(frames.sizes.back(), std::make_pair(160, 100));
}

}  // namespace
}  // namespace moxi

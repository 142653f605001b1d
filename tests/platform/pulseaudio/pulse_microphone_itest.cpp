// The microphone against a real PulseAudio server whose default source is a
// 440 Hz sine.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/serial_queue.h"
#include "harness/test_desktop.h"
#include "platform/pulseaudio/pulse_microphone.h"

static auto* env = ::testing::AddGlobalTestEnvironment(
    new moxi::test::DesktopEnvironment({.windowManager = false, .tray = false, .sound = true}));

namespace moxi {
namespace {

using namespace std::chrono_literals;
using test::runCommand;
using test::waitUntil;

constexpr int64_t kBlockNs = 1024 * int64_t{1'000'000'000} / 44100;

struct Arrival {
  AudioBuffer block;
  int64_t atNs;
};

TEST(Microphone, TheSineComesAsContiguousMonoBlocksUntilItsSourceIsUnpluggedAndAgainOnceItIsBack) {
  std::promise<bool> granted;
  // The access's queue has run the answer by the time the access is gone.
  makeMicrophoneAccess()->requestAccess([&](bool ok) { granted.set_value(ok); });
  EXPECT_TRUE(granted.get_future().get());

  std::mutex mutex;
  std::vector<Arrival> arrivals;
  auto count = [&] {
    std::lock_guard lock(mutex);
    return arrivals.size();
  };
  std::atomic<bool> offQueue{false};
  // Gone before what it delivers to; its end runs the deliveries still queued.
  SerialQueue queue("com.quillon.moxiscope.AudioSampleBufferQueue");
  auto session = makeMicrophoneSession();
  // One recording as the recorder makes it, with the session reused.
  auto start = [&] {
    EXPECT_EQ(microphoneSetupMessages(session->configure()), std::vector<std::string>{});
    session->setSampleBufferDelegate(
        [&](AudioBuffer block) {
          if (!queue.isCurrent()) offQueue = true;
          std::lock_guard lock(mutex);
          arrivals.push_back({std::move(block), monotonicNanos()});
        },
        queue);
    session->startRunning();
    EXPECT_TRUE(session->isRunning());
  };
  start();
  ASSERT_TRUE(waitUntil([&] { return count() >= 90; }, 10s));  // about two seconds
  session->stopRunning();
  EXPECT_FALSE(session->isRunning());
  const size_t atStop = count();
  std::this_thread::sleep_for(100ms);
  queue.drain();
  EXPECT_LE(count(), atStop + 1) << "blocks after stopRunning returned";

  for (size_t i = 0; i < arrivals.size(); ++i) {
    const AudioBuffer& b = arrivals[i].block;
    ASSERT_EQ(std::pair(b.sampleRate, b.channels), std::pair(44100, 1));
    EXPECT_EQ(b.samples.size(), 1024u);
    // Never sound from the future; the sine source renders two seconds at a time.
    EXPECT_GT(arrivals[i].atNs - b.presentationTimeNs - kBlockNs, -10'000'000);
  }

  // Unplugged mid-recording. Without its only microphone the server falls
  // back to the null sink's monitor, which records what the desktop plays:
  // not a microphone.
  arrivals.clear();
  start();
  ASSERT_TRUE(waitUntil([&] { return count() >= 10; }, 10s));
  ASSERT_EQ(runCommand({"pactl", "unload-module", "module-sine-source"}).exitCode, 0);
  EXPECT_TRUE(waitUntil([&] { return !session->isRunning(); }, 5s));
  const MicrophoneConfiguration configuration = session->configure();
  EXPECT_TRUE(configuration.noDevice);
  EXPECT_FALSE(configuration.inputAdded);

  ASSERT_EQ(runCommand({"pactl", "load-module", "module-sine-source", "source_name=sine", "frequency=440"}).exitCode,
            0);
  ASSERT_EQ(runCommand({"pactl", "set-default-source", "sine"}).exitCode, 0);
  const size_t beforeBack = count();
  start();
  EXPECT_TRUE(waitUntil([&] { return count() >= beforeBack + 10; }, 10s));
  session->stopRunning();
  EXPECT_FALSE(offQueue);
}

}  // namespace
}  // namespace moxi

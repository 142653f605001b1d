// The microphone against a real PulseAudio server whose default source is a
// 440 Hz sine.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/microphone.h"
#include "harness/test_desktop.h"
#include "platform/clock.h"
#include "platform/serial_queue.h"

static auto* env = ::testing::AddGlobalTestEnvironment(
    new moxi::test::DesktopEnvironment({.windowManager = false, .tray = false, .sound = true}));

namespace moxi {
namespace {

using namespace std::chrono_literals;
using test::DesktopEnvironment;
using test::runCommand;
using test::waitUntil;
using Lines = std::vector<std::string>;

int64_t durationNs(const AudioBuffer& b) {
  return static_cast<int64_t>(b.samples.size() / static_cast<size_t>(b.channels)) * 1'000'000'000 / b.sampleRate;
}

struct Arrival {
  AudioBuffer block;
  int64_t atNs;
};

// Collects what a session delivers, noting when and on which thread.
class Collector {
 public:
  explicit Collector(SerialQueue& queue) : queue_(queue) {}
  // Deliveries already queued still find it.
  ~Collector() { queue_.drain(); }
  std::function<void(AudioBuffer)> handler() {
    return [this](AudioBuffer block) {
      if (!queue_.isCurrent() || busy_.exchange(true)) misdelivered = true;
      std::lock_guard lock(mutex_);
      seconds_ += static_cast<double>(durationNs(block)) / 1e9;
      arrivals_.push_back({std::move(block), monotonicNanos()});
      busy_ = false;
    };
  }
  size_t count() {
    std::lock_guard lock(mutex_);
    return arrivals_.size();
  }
  double seconds() {
    std::lock_guard lock(mutex_);
    return seconds_;
  }
  std::vector<Arrival> arrivals() {
    std::lock_guard lock(mutex_);
    return arrivals_;
  }
  std::atomic<bool> misdelivered{false};  // off the queue, or two at once

 private:
  SerialQueue& queue_;
  std::mutex mutex_;
  std::vector<Arrival> arrivals_;
  double seconds_ = 0;
  std::atomic<bool> busy_{false};
};

// Blocks follow each other exactly but for the clock's rare correction step;
// returns how many such steps there were.
int correctionSteps(const std::vector<Arrival>& a) {
  int steps = 0;
  for (size_t i = 1; i < a.size(); ++i) {
    int64_t step = a[i].block.presentationTimeNs - a[i - 1].block.presentationTimeNs - durationNs(a[i - 1].block);
    if (std::llabs(step) <= 3'000'000) continue;
    ++steps;
    EXPECT_LT(std::llabs(step), 30'000'000) << "block " << i << " does not start where block " << i - 1 << " ended";
  }
  return steps;
}

class Microphone : public ::testing::Test {
 protected:
  void SetUp() override {
    // A test that stopped the server or changed its sources left it so.
    if (runCommand({"pactl", "info"}, 5s).exitCode != 0) {
      DesktopEnvironment::desktop().stopSoundServer();
      DesktopEnvironment::desktop().startSoundServer();
    }
    ASSERT_EQ(runCommand({"pactl", "set-default-source", "sine"}).exitCode, 0);
  }

  // One recording as the recorder makes it: configure, run until `seconds` of
  // sound came, stop. Nothing may arrive once stopRunning() has returned.
  std::vector<Arrival> record(MicrophoneSession& session, double seconds) {
    Collector collector(audioQueue_);
    EXPECT_EQ(microphoneSetupMessages(session.configure()), Lines{});
    session.setSampleBufferDelegate(collector.handler(), audioQueue_);
    session.startRunning();
    EXPECT_TRUE(session.isRunning());
    EXPECT_TRUE(waitUntil([&] { return collector.seconds() >= seconds; }, 10s));
    session.stopRunning();
    EXPECT_FALSE(session.isRunning());
    size_t atStop = collector.count();
    std::this_thread::sleep_for(100ms);
    audioQueue_.drain();
    EXPECT_LE(collector.count(), atStop + 1) << "blocks after stopRunning returned";
    EXPECT_FALSE(collector.misdelivered);
    return collector.arrivals();
  }

  SerialQueue audioQueue_{"com.quillon.moxiscope.AudioSampleBufferQueue"};
};

TEST_F(Microphone, AccessIsAuthorizedAndTheSineComesAsContiguousMonoBlocksOnTheMonotonicClock) {
  auto access = makeMicrophoneAccess();
  EXPECT_EQ(access->authorizationStatus(), MicrophoneAuthorization::authorized);
  std::promise<std::thread::id> answered;
  access->requestAccess([&](bool granted) {
    EXPECT_TRUE(granted);
    answered.set_value(std::this_thread::get_id());
  });
  auto thread = answered.get_future();
  ASSERT_EQ(thread.wait_for(10s), std::future_status::ready);
  EXPECT_NE(thread.get(), std::this_thread::get_id()) << "answered on the caller's thread";

  std::vector<Arrival> arrivals = record(*makeMicrophoneSession(), 2.0);
  std::vector<int16_t> sound;
  for (const auto& a : arrivals) {
    ASSERT_EQ(a.block.sampleRate, 44100);
    ASSERT_EQ(a.block.channels, 1);
    EXPECT_EQ(a.block.samples.size(), 1024u);
    // Never sound from the future; the sine source renders two seconds at a time.
    EXPECT_GT(a.atNs - a.block.presentationTimeNs - durationNs(a.block), -10'000'000);
    sound.insert(sound.end(), a.block.samples.begin(), a.block.samples.end());
  }
  EXPECT_LE(correctionSteps(arrivals), 1);
  int crossings = 0;
  for (size_t i = 1; i < sound.size(); ++i) crossings += (sound[i - 1] < 0) != (sound[i] < 0);
  EXPECT_NEAR(crossings / (static_cast<double>(sound.size()) / 44100), 880, 10) << "not the 440 Hz sine";
}

TEST_F(Microphone, AMicrophoneUnpluggedMidRecordingEndsTheSoundAndIsThenMissing) {
  Collector collector(audioQueue_);  // outlives the session, also when a check ends the test early
  auto session = makeMicrophoneSession();
  ASSERT_EQ(microphoneSetupMessages(session->configure()), Lines{});
  session->setSampleBufferDelegate(collector.handler(), audioQueue_);
  session->startRunning();
  ASSERT_TRUE(waitUntil([&] { return collector.seconds() >= 0.3; }, 10s));

  // Without its only microphone the server falls back to the null sink's
  // monitor, which records what the desktop plays: not a microphone.
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(runCommand({"pactl", "unload-module", "module-sine-source"}).exitCode, 0);
  EXPECT_TRUE(waitUntil([&] { return !session->isRunning(); }, 5s));
  EXPECT_EQ(makeMicrophoneAccess()->authorizationStatus(), MicrophoneAuthorization::authorized);
  MicrophoneConfiguration configuration = session->configure();
  EXPECT_TRUE(configuration.noDevice);
  EXPECT_FALSE(configuration.inputAdded);
  session->startRunning();
  EXPECT_FALSE(session->isRunning());
  session->stopRunning();
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Microphone lost: the microphone went away", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;

  ASSERT_EQ(runCommand({"pactl", "load-module", "module-sine-source", "source_name=sine", "frequency=440"}).exitCode,
            0);
  ASSERT_EQ(runCommand({"pactl", "set-default-source", "sine"}).exitCode, 0);
  EXPECT_FALSE(record(*session, 0.3).empty());
}

}  // namespace
}  // namespace moxi

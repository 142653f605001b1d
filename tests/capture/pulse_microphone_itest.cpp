// The microphone against a real PulseAudio server whose default source is a
// 440 Hz sine.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <future>
#include <mutex>
#include <numbers>
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

int64_t durationNs(const AudioBuffer& b) {
  return static_cast<int64_t>(b.samples.size() / static_cast<size_t>(b.channels)) * 1'000'000'000 / b.sampleRate;
}

// Collects what a session delivers, with the time each block arrived.
class Collector {
 public:
  explicit Collector(SerialQueue& queue) : queue_(queue) {}
  void operator()(AudioBuffer block) {
    int64_t now = monotonicNanos();
    if (!queue_.isCurrent()) offQueue_ = true;
    if (busy_.exchange(true)) overlapped_ = true;
    {
      std::lock_guard lock(mutex_);
      arrivals_.push_back(now);
      blocks_.push_back(std::move(block));
    }
    busy_ = false;
  }
  size_t count() {
    std::lock_guard lock(mutex_);
    return blocks_.size();
  }
  double seconds() {
    std::lock_guard lock(mutex_);
    double s = 0;
    for (const auto& b : blocks_) s += static_cast<double>(durationNs(b)) / 1e9;
    return s;
  }
  std::vector<AudioBuffer> blocks() {
    std::lock_guard lock(mutex_);
    return blocks_;
  }
  std::vector<int64_t> arrivals() {
    std::lock_guard lock(mutex_);
    return arrivals_;
  }
  bool offQueue() const { return offQueue_; }
  bool overlapped() const { return overlapped_; }

 private:
  SerialQueue& queue_;
  std::mutex mutex_;
  std::vector<AudioBuffer> blocks_;
  std::vector<int64_t> arrivals_;
  std::atomic<bool> busy_{false}, offQueue_{false}, overlapped_{false};
};

// Blocks must follow each other exactly, but for the clock's rare
// correction step; returns how many such steps there were.
int correctionSteps(const std::vector<AudioBuffer>& blocks) {
  int steps = 0;
  for (size_t i = 1; i < blocks.size(); ++i) {
    int64_t step = blocks[i].presentationTimeNs - blocks[i - 1].presentationTimeNs - durationNs(blocks[i - 1]);
    if (std::llabs(step) <= 3'000'000) continue;
    ++steps;
    EXPECT_LT(std::llabs(step), 30'000'000) << "block " << i << " does not start where block " << i - 1 << " ended";
  }
  return steps;
}

double goertzelPower(const std::vector<int16_t>& x, double frequency, int rate) {
  double w = 2 * std::numbers::pi * frequency / rate, c = 2 * std::cos(w), s1 = 0, s2 = 0;
  for (int16_t v : x) {
    double s0 = v + c * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return s1 * s1 + s2 * s2 - c * s1 * s2;
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

  // Runs the session until `seconds` of sound arrived; false if it never did.
  static bool record(MicrophoneSession& session, Collector& collector, double seconds) {
    session.startRunning();
    return session.isRunning() && waitUntil([&] { return collector.seconds() >= seconds; }, 10s);
  }

  SerialQueue audioQueue_{"com.quillon.moxiscope.AudioSampleBufferQueue"};
};

TEST_F(Microphone, AccessIsAuthorizedWhileTheServerAnswers) {
  auto access = makeMicrophoneAccess();
  EXPECT_EQ(access->authorizationStatus(), MicrophoneAuthorization::authorized);

  std::promise<std::pair<bool, std::thread::id>> answer;
  access->requestAccess([&](bool granted) { answer.set_value({granted, std::this_thread::get_id()}); });
  auto future = answer.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  auto [granted, thread] = future.get();
  EXPECT_TRUE(granted);
  EXPECT_NE(thread, std::this_thread::get_id());
}

TEST_F(Microphone, RecordsTheDefaultSourceAsContiguousMonoBlocksOnTheMonotonicClock) {
  auto session = makeMicrophoneSession();
  Collector collector(audioQueue_);
  MicrophoneConfiguration configuration = session->configure();
  EXPECT_TRUE(microphoneSetupMessages(configuration).empty()) << microphoneSetupMessages(configuration)[0];
  session->setSampleBufferDelegate(std::ref(collector), audioQueue_);
  ASSERT_TRUE(record(*session, collector, 2.0));
  session->stopRunning();
  EXPECT_FALSE(session->isRunning());
  size_t atStop = collector.count();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(collector.count(), atStop) << "no block after stopRunning returned";

  auto blocks = collector.blocks();
  auto arrivals = collector.arrivals();
  EXPECT_FALSE(collector.offQueue());
  EXPECT_FALSE(collector.overlapped());
  std::vector<int16_t> sound;
  std::vector<int64_t> ages;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const auto& b = blocks[i];
    ASSERT_EQ(b.sampleRate, 44100);
    ASSERT_EQ(b.channels, 1);
    EXPECT_EQ(b.samples.size(), 1024u);  // about 23 ms each
    ages.push_back(arrivals[i] - b.presentationTimeNs - durationNs(b));
    sound.insert(sound.end(), b.samples.begin(), b.samples.end());
  }
  EXPECT_LE(correctionSteps(blocks), 1);

  // A block's age on arrival is the server's latency for it: never negative
  // (sound from the future), and at its smallest (the newest sound) recent.
  // The test source renders two seconds at a time, so older blocks come in
  // bursts that are up to two seconds old; a real microphone's are ~20 ms.
  std::sort(ages.begin(), ages.end());
  EXPECT_GT(ages.front(), -10'000'000) << "a block claims sound from the future";
  EXPECT_LT(ages.front(), 100'000'000) << "time stamps lag the monotonic clock";
  EXPECT_LT(ages.back(), 2'500'000'000) << "time stamps lag the monotonic clock";

  // The sine source plays 440 Hz: it dominates its neighbours and octaves.
  double at440 = goertzelPower(sound, 440, 44100);
  for (double other : {220.0, 330.0, 400.0, 480.0, 550.0, 880.0})
    EXPECT_GT(at440, 100 * goertzelPower(sound, other, 44100)) << other << " Hz";
  int crossings = 0;
  for (size_t i = 1; i < sound.size(); ++i) crossings += (sound[i - 1] < 0) != (sound[i] < 0);
  EXPECT_NEAR(crossings / (static_cast<double>(sound.size()) / 44100), 880, 10);
}

// A source with a short latency, like a real microphone: a remap of the null
// sink's monitor while a 440 Hz tone plays into the sink.
TEST_F(Microphone, AShortLatencyMicrophoneDeliversEveryBlockFresh) {
  const auto& desktop = DesktopEnvironment::desktop();
  std::string tone = desktop.workDir() + "/tone.wav";
  ASSERT_EQ(runCommand({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:duration=30", tone})
                .exitCode,
            0);
  test::ChildProcess player({"paplay", "--device=nullsink", tone});
  auto module = runCommand({"pactl", "load-module", "module-remap-source", "master=nullsink.monitor",
                            "source_name=mic", "channels=1"});
  ASSERT_EQ(module.exitCode, 0);
  ASSERT_EQ(runCommand({"pactl", "set-default-source", "mic"}).exitCode, 0);

  auto session = makeMicrophoneSession();
  Collector collector(audioQueue_);
  EXPECT_TRUE(microphoneSetupMessages(session->configure()).empty());
  session->setSampleBufferDelegate(std::ref(collector), audioQueue_);
  EXPECT_TRUE(record(*session, collector, 1.5));
  session->stopRunning();
  audioQueue_.drain();
  runCommand({"pactl", "unload-module", module.out.substr(0, module.out.find('\n'))});

  auto blocks = collector.blocks();
  auto arrivals = collector.arrivals();
  int late = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    int64_t age = arrivals[i] - blocks[i].presentationTimeNs - durationNs(blocks[i]);
    EXPECT_GT(age, -10'000'000) << "block " << i << " claims sound from the future";
    late += age > 100'000'000;
  }
  EXPECT_LE(correctionSteps(blocks), 1);
  // The first blocks may carry what the server had buffered before we came.
  EXPECT_LE(late, 3) << "of " << blocks.size() << " blocks";
}

TEST_F(Microphone, OneSessionRecordsTwiceInARowAndANewSessionToo) {
  auto session = makeMicrophoneSession();
  for (int run = 0; run < 2; ++run) {
    Collector collector(audioQueue_);
    MicrophoneConfiguration configuration = session->configure();
    EXPECT_TRUE(configuration.inputAdded) << "run " << run;  // the second run keeps the first's input
    EXPECT_TRUE(configuration.outputAdded) << "run " << run;
    session->setSampleBufferDelegate(std::ref(collector), audioQueue_);
    ASSERT_TRUE(record(*session, collector, 0.5)) << "run " << run;
    session->stopRunning();
    audioQueue_.drain();
  }
  session.reset();

  auto second = makeMicrophoneSession();
  Collector collector(audioQueue_);
  EXPECT_TRUE(microphoneSetupMessages(second->configure()).empty());
  second->setSampleBufferDelegate(std::ref(collector), audioQueue_);
  EXPECT_TRUE(record(*second, collector, 0.5));
  second->stopRunning();
  audioQueue_.drain();
}

TEST_F(Microphone, TheServerVanishingMidRecordingCostsOnlyTheSound) {
  auto session = makeMicrophoneSession();
  Collector collector(audioQueue_);
  ASSERT_TRUE(session->configure().inputAdded);
  session->setSampleBufferDelegate(std::ref(collector), audioQueue_);
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(record(*session, collector, 0.5));

  DesktopEnvironment::desktop().stopSoundServer();
  EXPECT_TRUE(waitUntil([&] { return !session->isRunning(); }, 5s));
  audioQueue_.drain();
  size_t afterLoss = collector.count();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(collector.count(), afterLoss) << "sound after the server went away";
  session->stopRunning();
  session->startRunning();  // nothing to start, nothing to break
  EXPECT_FALSE(session->isRunning());

  EXPECT_EQ(makeMicrophoneAccess()->authorizationStatus(), MicrophoneAuthorization::restricted);
  MicrophoneConfiguration configuration = session->configure();
  EXPECT_FALSE(configuration.inputAdded);
  EXPECT_FALSE(configuration.inputError.empty());
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_NE(out.find("Microphone lost"), std::string::npos) << out;
  if (!configuration.inputError.empty()) {
    EXPECT_EQ(microphoneSetupMessages(configuration)[0],
              "couldn't create audio input device. Error - " + configuration.inputError);
  }

  // The server comes back: the same session connects again for the next recording.
  DesktopEnvironment::desktop().startSoundServer();
  Collector again(audioQueue_);
  EXPECT_TRUE(microphoneSetupMessages(session->configure()).empty());
  session->setSampleBufferDelegate(std::ref(again), audioQueue_);
  EXPECT_TRUE(record(*session, again, 0.5));
  session->stopRunning();
  audioQueue_.drain();
}

TEST_F(Microphone, AMicrophoneUnpluggedMidRecordingEndsTheSoundAndIsThenMissing) {
  auto session = makeMicrophoneSession();
  Collector collector(audioQueue_);
  ASSERT_TRUE(session->configure().inputAdded);
  session->setSampleBufferDelegate(std::ref(collector), audioQueue_);
  ASSERT_TRUE(record(*session, collector, 0.3));

  // With its only microphone gone the server falls back to the null sink's
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
  audioQueue_.drain();
  size_t afterLoss = collector.count();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(collector.count(), afterLoss);
  session->stopRunning();
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_NE(out.find("Microphone lost"), std::string::npos) << out;

  ASSERT_EQ(runCommand({"pactl", "load-module", "module-sine-source", "source_name=sine", "frequency=440"}).exitCode,
            0);
  ASSERT_EQ(runCommand({"pactl", "set-default-source", "sine"}).exitCode, 0);
  EXPECT_TRUE(session->configure().inputAdded);
}

}  // namespace
}  // namespace moxi

// The recorder controller on the real services of the test desktop: X11
// capture, the H.264/AAC writer, the PulseAudio microphone (a 440 Hz sine
// source), the XInput pointer monitor and the outline. What it wrote is read
// back with ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <cmath>
#include <cstring>
#include <memory>

#include "app/status_button.h"
#include "app/toggler.h"
#include "capture/test_windows_support.h"
#include "capture/window_catalogue.h"
#include "harness/media_files.h"
#include "harness/qt_environment.h"
#include "harness/test_desktop.h"
#include "harness/test_files.h"
#include "harness/test_window.h"
#include "platform/clock.h"

using namespace moxi;
using namespace moxi::test;
using namespace std::chrono_literals;

namespace {

constexpr int kWaitMs = 20000;

// The first audio track as mono signed 16-bit samples at 44100 Hz.
std::vector<int16_t> decodeSound(const std::string& path) {
  auto r = runCommand({"ffmpeg", "-v", "error", "-i", path, "-map", "0:a:0", "-f", "s16le", "-ac", "1", "-ar",
                       "44100", "-"},
                      60s);
  std::vector<int16_t> samples(r.out.size() / 2);
  std::memcpy(samples.data(), r.out.data(), samples.size() * 2);
  return samples;
}

// Upward zero crossings per second.
double frequency(const std::vector<int16_t>& s, size_t from, size_t to) {
  int crossings = 0;
  for (size_t i = from + 1; i < to; ++i) crossings += s[i - 1] < 0 && s[i] >= 0;
  return crossings * 44100.0 / static_cast<double>(to - from);
}

double rms(const std::vector<int16_t>& s, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(s[i]) * s[i];
  return std::sqrt(sum / static_cast<double>(std::max<size_t>(1, to - from)));
}

// The 0xRRGGBB colour at the centre of the first frame.
uint32_t centreColour(const std::string& path) {
  auto r = runCommand({"ffmpeg", "-v", "error", "-i", path, "-frames:v", "1", "-vf", "crop=2:2:iw/2:ih/2", "-f",
                       "rawvideo", "-pix_fmt", "rgb24", "-"},
                      60s);
  if (r.out.size() < 3) return 0xFFFFFFFF;
  auto byte = [&](int i) { return static_cast<uint32_t>(static_cast<unsigned char>(r.out[i])); };
  return byte(0) << 16 | byte(1) << 8 | byte(2);
}

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RecorderServices s = RecorderServices::x11();
    s.createHotKey = false;
    s.askToCopy = [] { return false; };
    s.openURL = [this](const QUrl& url) {
      opened.push_back(url);
      return true;
    };
    server = s.windowServer;
    microphone = s.microphoneSession;
    pointerMonitor = s.pointerMonitor;
    toggler = std::make_unique<Toggler>(nullptr, &button, std::move(s));
    QObject::connect(toggler.get(), &Toggler::exportFinished,
                     [this](const QUrl& raw, const QUrl& movie) { exports.push_back({raw, movie}); });
    toggler->setCaptureMicrophone(false);
    toggler->setCursorOn(false);
  }
  void TearDown() override {
    toggler.reset();
    if (soundStopped) DesktopEnvironment::desktop().startSoundServer();
  }

  // The capture service's view of a client window, once it lists it.
  CaptureWindow captureWindow(uint32_t id) {
    std::optional<CaptureWindow> found;
    (void)QTest::qWaitFor(
        [&] {
          if (auto content = server->shareableContent())
            for (const auto& w : content->windows)
              if (w.windowID == id) found = w;
          return found.has_value();
        },
        kWaitMs);
    EXPECT_TRUE(found) << "window " << id << " is not listed";
    return found.value_or(CaptureWindow{});
  }

  void grantMicrophone() {
    toggler->setCaptureMicrophone(true);
    toggler->checkMicrophonePermission(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return toggler->hasMicPermission(); }, kWaitMs));
  }

  // Starts recording and waits for the first frame; the title says " MIC" exactly when sound is recorded.
  bool begin(const CaptureWindow& window, bool withSound = false) {
    toggler->startElapsedTimer();
    toggler->startRecording(window);
    if (!QTest::qWaitFor([&] { return toggler->recording(); }, kWaitMs)) return false;
    toggler->update();
    EXPECT_EQ(toggler->buttonTitle().endsWith(" MIC"), withSound) << toggler->buttonTitle().toStdString();
    return true;
  }

  struct Take {
    std::string raw, movie;
    double wallSeconds = 0;  // from the first frame to the stop
  };
  // Stops and waits until the recording is exported.
  Take finish() {
    size_t before = exports.size();
    Take take;
    const double stopped = secondsSinceReferenceDate();
    toggler->stopRecording();
    EXPECT_TRUE(toggler->waitForPendingFinishes(60000)) << "the recording was not exported";
    EXPECT_EQ(exports.size(), before + 1);
    if (exports.size() == before + 1) {
      EXPECT_FALSE(exports.back().second.isEmpty()) << "the export failed";
      EXPECT_EQ(opened.back(), exports.back().second);
      take.raw = exports.back().first.toLocalFile().toStdString();
      take.movie = exports.back().second.toLocalFile().toStdString();
      // The recording is named after the wall-clock milliseconds of its first frame.
      const QString name = exports.back().first.fileName();
      take.wallSeconds = stopped - name.mid(4, name.size() - 8).toDouble() / 1000;
    }
    return take;
  }

  // A complete single video track of `width` x `height` covering the wall
  // time, in the recording and in the exported movie.
  Probe expectCompleteVideo(const Take& take, int width, int height) {
    Probe p = probeFile(take.raw);
    Probe movie = probeFile(take.movie);
    EXPECT_EQ(movie.of("video").size(), 1u) << take.movie;
    if (movie.video()) {
      EXPECT_NEAR(movie.video()->duration, take.wallSeconds, 0.2) << "in the exported movie";
    }
    EXPECT_TRUE(p.ok) << take.raw << " is not readable";
    EXPECT_EQ(p.of("video").size(), 1u);
    if (!p.video()) return p;
    const ProbedStream& v = *p.video();
    EXPECT_EQ(v.codecName, "h264");
    EXPECT_EQ(v.width, width);
    EXPECT_EQ(v.height, height);
    EXPECT_GT(v.frames, 0);
    EXPECT_EQ(v.frames, v.packets) << "frames that do not decode";
    EXPECT_NEAR(v.duration, take.wallSeconds, 0.2);
    return p;
  }

  // The one mono AAC track hears the 440 Hz sine and lasts as long as the video.
  void expectSine(const std::string& path) {
    Probe p = probeFile(path);
    ASSERT_TRUE(p.ok);
    ASSERT_EQ(p.of("audio").size(), 1u);
    ASSERT_EQ(p.of("video").size(), 1u);
    const ProbedStream& a = *p.of("audio")[0];
    EXPECT_EQ(a.codecName, "aac");
    EXPECT_EQ(a.channels, 1);
    EXPECT_EQ(a.sampleRate, 44100);
    EXPECT_NEAR(a.duration, p.of("video")[0]->duration, 0.15);
    std::vector<int16_t> sound = decodeSound(path);
    // The decoder may give the last frame whole, past the track's end.
    sound.resize(std::min(sound.size(), static_cast<size_t>(a.duration * 44100)));
    // The encoder's priming (a frame of 1024 samples) comes first, then a
    // moment of silence until the microphone started after the first frame.
    // The last frame ends in the encoder's padding.
    constexpr size_t kFrame = 1024;
    size_t first = 0;
    while (first < sound.size() && std::abs(sound[first]) < 4000) ++first;
    EXPECT_LT(first, kFrame + 4410) << "the sound starts late";
    ASSERT_GT(sound.size(), first + kFrame + 44100 / 2) << "less than half a second of sound";
    const size_t end = sound.size() - kFrame;
    // The sine everywhere in between: no hole of 10 ms, no tenth of a second off pitch.
    for (size_t from = first; from + 441 <= end; from += 441)
      ASSERT_GT(rms(sound, from, from + 441), 3000) << "silence at " << from / 44100.0 << " s";
    for (size_t from = first; from + 4410 <= end; from += 4410)
      EXPECT_NEAR(frequency(sound, from, from + 4410), 440, 20) << "at " << from / 44100.0 << " s";
    EXPECT_NEAR(frequency(sound, first, end), 440, 2);
  }

  void stopSound() {
    DesktopEnvironment::desktop().stopSoundServer();
    soundStopped = true;
  }

  StatusButton button;
  std::shared_ptr<WindowServer> server;
  std::shared_ptr<MicrophoneSession> microphone;
  std::shared_ptr<PointerMonitor> pointerMonitor;
  std::unique_ptr<Toggler> toggler;
  std::vector<std::pair<QUrl, QUrl>> exports;
  std::vector<QUrl> opened;
  bool soundStopped = false;
};

}  // namespace

TEST_F(RecorderTest, RecordsAnAnimatedWindowAtItsFrameRateForTheWallTime) {
  PacedWindow window(640, 480, 60, uniqueTitle("moxi-recorder"));
  ASSERT_TRUE(begin(captureWindow(window.id())));
  QTest::qWait(2000);
  Probe p = expectCompleteVideo(finish(), 640, 480);
  EXPECT_TRUE(p.of("audio").empty());
  ASSERT_TRUE(p.video());
  const double fps = p.video()->frames / p.video()->duration;
  std::printf("%.1f frames/s over %.2f s\n", fps, p.video()->duration);
  // The window draws 60 a second on a strict clock: never more are written,
  // and a busy machine may miss a few.
  EXPECT_LE(fps, 61);
  EXPECT_GE(fps, 50);
}

// A window painted once, with sound, twice in a row: the first recording
// also logs the pointer. The monitor reports each event with the pointer's
// position when it is handled, so every step waits until its events have
// been handled.
TEST_F(RecorderTest, AWindowPaintedOnceGivesItsPictureTheSineAndItsPointerLogTwiceInARow) {
  grantMicrophone();
  StaticWindow window(400, 300, uniqueTitle("moxi-recorder"));
  CaptureWindow target = captureWindow(window.id());
  ASSERT_TRUE(begin(target, true));
  size_t handled = 0;
  auto token = pointerMonitor->install([&](const PointerEvent&) { ++handled; });
  ASSERT_TRUE(token);
  const Rect f = target.frame;  // top-left convention
  auto at = [](double v) { return std::to_string(int(v)); };
  auto step = [&](std::vector<std::string> args, size_t events) {
    const size_t expected = handled + events;
    xdotool(args);
    EXPECT_TRUE(QTest::qWaitFor([&] { return handled >= expected; }, kWaitMs)) << args[0] << " was not seen";
  };
  // A warp makes no motion of its own; the relative move after it does.
  step({"mousemove", at(f.x + 30), at(f.y + 40)}, 0);
  step({"mousemove_relative", "10", "5"}, 1);
  step({"click", "1"}, 2);
  step({"click", "3"}, 1);  // the right release is not reported
  // Outside: on the desktop beside it and on its own title bar.
  step({"mousemove", at(f.x + f.width + 60), at(f.y + 40)}, 0);
  step({"mousemove_relative", "1", "0"}, 1);
  step({"click", "1"}, 2);
  step({"mousemove", at(f.x + 50), at(f.y - 8)}, 0);
  step({"mousemove_relative", "1", "0"}, 1);
  step({"click", "1"}, 2);
  step({"mousemove", at(f.x + 20), at(f.y + 20)}, 0);
  step({"mousemove_relative", "1", "1"}, 1);
  pointerMonitor->remove(*token);
  const std::vector<MouseEvent> log = toggler->mouseEvents();
  ASSERT_EQ(log.size(), 5u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(log[i].x, 40);
    EXPECT_EQ(log[i].y, f.height - 45);
    EXPECT_GE(log[i].timestamp, i ? log[i - 1].timestamp : 0);
  }
  EXPECT_EQ((std::vector<bool>{log[0].down, log[1].down, log[2].down, log[3].down, log[4].down}),
            (std::vector<bool>{false, true, false, true, false}));
  EXPECT_EQ(log[4].x, 21);
  EXPECT_EQ(log[4].y, f.height - 21);
  EXPECT_GE(log[4].timestamp, log[3].timestamp);
  QTest::qWait(500);
  Take take = finish();
  expectCompleteVideo(take, 400, 300);
  const uint32_t colour = centreColour(take.raw);
  for (int shift : {0, 8, 16})
    EXPECT_NEAR(int((colour >> shift) & 0xff), int((0x3366ccu >> shift) & 0xff), 12) << std::hex << colour;
  expectSine(take.raw);

  ASSERT_TRUE(begin(target, true));
  QTest::qWait(1500);
  expectSine(finish().raw);
}

TEST_F(RecorderTest, TheOutlineFollowsMovesAndResizesAndAWindowClosedMidRecordingIsFinishedAndHandedOver) {
  auto window = std::make_unique<StaticWindow>(320, 240, uniqueTitle("moxi-recorder"));
  const uint32_t id = window->id();
  ASSERT_TRUE(begin(captureWindow(id)));  // the title's updates move the outline
  auto outlineOn = [&](auto condition) {
    return QTest::qWaitFor(
        [&] {
          auto frame = currentWindowFrame(*server, id);
          return frame && condition(*frame) && toggler->hv() && toggler->hv()->existingFrame == *frame;
        },
        kWaitMs);
  };
  ASSERT_TRUE(outlineOn([](const Rect&) { return true; }));
  const Rect before = toggler->hv()->existingFrame;
  xdotool({"windowmove", std::to_string(id), "300", "200"});
  ASSERT_TRUE(outlineOn([&](const Rect& r) { return r.x != before.x || r.y != before.y; }))
      << "the outline did not follow the move";
  EXPECT_EQ(toggler->hv()->existingFrame.size(), before.size());
  xdotool({"windowsize", std::to_string(id), "500", "260"});
  ASSERT_TRUE(outlineOn([](const Rect& r) { return r.width == 500 && r.height == 260; }))
      << "the outline did not follow the resize";
  QTest::qWait(500);
  const size_t exported = exports.size();
  window.reset();
  // The recording ends by itself, as on a stop, and is handed over.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !toggler->recording(); }, kWaitMs));
  const double stopped = secondsSinceReferenceDate();
  ASSERT_TRUE(toggler->waitForPendingFinishes(60000));
  ASSERT_EQ(exports.size(), exported + 1);
  ASSERT_FALSE(exports.back().second.isEmpty()) << "the export failed";
  Take take{exports.back().first.toLocalFile().toStdString(), exports.back().second.toLocalFile().toStdString()};
  const QString name = exports.back().first.fileName();
  take.wallSeconds = stopped - name.mid(4, name.size() - 8).toDouble() / 1000;
  expectCompleteVideo(take, 320, 240);
}

TEST_F(RecorderTest, NoSoundTrackWithTheSwitchOffOrWithoutTheSoundServerAndItsLossMidRecordingKeepsTheFile) {
  grantMicrophone();
  StaticWindow window(400, 300, uniqueTitle("moxi-recorder"));
  CaptureWindow target = captureWindow(window.id());
  toggler->setCaptureMicrophone(false);
  ASSERT_TRUE(begin(target));
  QTest::qWait(1000);
  EXPECT_TRUE(expectCompleteVideo(finish(), 400, 300).of("audio").empty());

  // The server goes away mid-recording: the file is whole, its sound too.
  toggler->setCaptureMicrophone(true);
  ASSERT_TRUE(begin(target, true));
  ASSERT_TRUE(QTest::qWaitFor([&] { return microphone->isRunning(); }, kWaitMs));
  QTest::qWait(1000);
  stopSound();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !microphone->isRunning(); }, kWaitMs));
  QTest::qWait(500);
  const Probe lost = expectCompleteVideo(finish(), 400, 300);
  for (const ProbedStream* a : lost.of("audio")) EXPECT_EQ(a->frames, a->packets);

  // Access was granted while the server ran; it is gone when recording starts.
  ASSERT_TRUE(begin(target, true));
  QTest::qWait(1000);
  EXPECT_TRUE(expectCompleteVideo(finish(), 400, 300).of("audio").empty());
  // Asked again, access is refused and the title says nothing of a microphone.
  toggler->checkMicrophonePermission(false);
  EXPECT_FALSE(toggler->hasMicPermission());
  toggler->startElapsedTimer();
  toggler->update();
  EXPECT_FALSE(toggler->buttonTitle().isEmpty());
  EXPECT_FALSE(toggler->buttonTitle().endsWith(" MIC")) << toggler->buttonTitle().toStdString();
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new DesktopEnvironment({.windowManager = true, .tray = false, .sound = true}));
  ::testing::AddGlobalTestEnvironment(new QtEnvironment<QApplication>("app_recorder_itest"));
  PrivateHome home;  // settings, caches and side files of this program only
  return RUN_ALL_TESTS();
}

// The writer against ffprobe: sizes, frame counts, durations and sound.
#include "capture/writer/recording_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <future>
#include <thread>

#include "capture/pixel_ops.h"
#include "harness/media_files.h"
#include "harness/test_desktop.h"
#include "harness/test_files.h"

namespace moxi {
namespace {

constexpr int64_t kStart = 5'000'000'000'000;  // an arbitrary monotonic time
constexpr int64_t kMs = 1'000'000;

// A frame of one colour that changes with `index`, so that every frame differs.
std::shared_ptr<PixelBuffer> frame(int width, int height, int index) {
  auto f = PixelBuffer::allocate(width, height);
  std::fill_n(reinterpret_cast<uint32_t*>(f->pixels), f->stride / 4 * height, 0xff000000u | index * 0x20202u);
  return f;
}

// `frames` stereo frames at 48 kHz, as the microphone might hand them over.
AudioBuffer sound(int frames, int64_t presentationTimeNs) {
  return {std::vector<int16_t>(static_cast<size_t>(frames) * 2, 4000), 48000, 2, presentationTimeNs};
}

class WriterTest : public ::testing::Test {
 protected:
  std::string dir = test::makeTempDirectory("moxi-capture-");
  std::string path = dir + "/tmp-1.mp4";
  std::string error;
  std::unique_ptr<RecordingWriter> writer = RecordingWriter::create(path, error);
  void TearDown() override { test::runCommand({"rm", "-rf", dir}); }
};

// One recording as the recorder makes it: an odd-sized video (kept whole:
// grown to the next even size, which 4:2:0 needs), one frame of
// another size, and microphone-like sound from another thread: 10 ms blocks
// at 48 kHz stereo whose time stamps jitter by a few milliseconds, with one
// real gap.
TEST_F(WriterTest, WritesEveryFrameAtItsOddSizeAndTheSoundAsMonoAacAlongTheSessionsTimeLine) {
  ASSERT_TRUE(writer) << error;
  auto video = writer->addVideoInput({VideoCodec::h264, 321, 241});
  auto audio = writer->addAudioInput(AudioSettings{}, true);
  ASSERT_TRUE(video && audio);
  ASSERT_TRUE(writer->startWriting());
  writer->startSession(kStart);
  auto blockTime = [](int64_t sample) { return kStart + 50 * kMs + sample * 1'000'000'000 / 48000; };
  constexpr int64_t kSamples = 300 * 480 + 48000 / 2;
  std::thread microphone([&] {
    // Sound from before the session is cut away.
    EXPECT_TRUE(audio->append(sound(480, kStart - 20 * kMs)));
    int64_t sample = 0;
    for (int block = 0; block < 300; ++block) {
      if (block == 150) sample += 48000 / 2;  // half a second missing
      const int64_t jitter = ((block * 7) % 9 - 4) * kMs;
      EXPECT_TRUE(audio->append(sound(480, blockTime(sample) + jitter)));
      sample += 480;
    }
  });
  // The frame that started the session is not appended; the next 100 are.
  for (int i = 1; i <= 100; ++i)
    EXPECT_TRUE(video->append(*frame(i == 50 ? 640 : 321, i == 50 ? 200 : 241, i), blockTime(i * kSamples / 100 - 1)));
  EXPECT_FALSE(video->append(*frame(321, 241, 0), blockTime(kSamples - 1))) << "a frame not later than the last";
  microphone.join();
  const int64_t end = blockTime(kSamples);
  writer->endSession(end);
  EXPECT_FALSE(video->append(*frame(321, 241, 0), end + 100 * kMs)) << "a frame past the end";
  // Silence fills the start (50 ms less the encoder's 1024 priming samples)
  // and the real gap; the jitter moves nothing, so it adds none.
  const WriterStatistics stats = writer->statistics();
  EXPECT_NEAR(static_cast<double>(stats.audioSilenceInserted), 2205 - 1024 + 22050, 441);
  EXPECT_EQ(stats.audioSamplesDropped, 480u) << "only the block before the session";
  // The completion, called once and on another thread, drops the last
  // reference to the writer, as the recorder does.
  std::shared_ptr<RecordingWriter> held(std::move(writer));
  std::promise<std::string> done;  // a second call would throw
  const auto caller = std::this_thread::get_id();
  held->finishWriting([&, keep = held](bool ok, std::string error) mutable {
    EXPECT_NE(std::this_thread::get_id(), caller);
    keep.reset();
    done.set_value(ok ? "" : "failed: " + error);
  });
  held.reset();
  auto finished = done.get_future();
  EXPECT_EQ(finished.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(finished.get(), "");

  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto probe = test::probeFile(path);
  ASSERT_TRUE(probe.video() && probe.audio()) << probe.error;
  EXPECT_EQ(probe.video()->width, 322);
  EXPECT_EQ(probe.video()->height, 242);
  EXPECT_EQ(probe.video()->pixelFormat, "yuv420p") << "what every player decodes";
  EXPECT_EQ(probe.video()->frames, 100);
  EXPECT_NEAR(probe.video()->duration, (end - kStart) / 1e9, 0.02);
  EXPECT_EQ(probe.audio()->sampleRate, 44100);
  EXPECT_NEAR(probe.audio()->duration, (end - kStart) / 1e9, 0.15);
}

// Frames the capture converted for the encoder make the movie that the same
// pictures in BGRA make: the planes, their strides and the grown odd edges,
// handed to the encoder without a copy.
TEST_F(WriterTest, FramesConvertedByTheCaptureMakeTheSameMovieAsBgraOnes) {
  auto picture = PixelBuffer::allocate(161, 91);
  for (int y = 0; y < picture->height; ++y)
    for (int x = 0; x < picture->width; ++x)
      reinterpret_cast<uint32_t*>(picture->pixels + y * picture->stride)[x] =
          0xff000000u | uint32_t(x * 255 / 160) << 16 | uint32_t(y * 255 / 90) << 8 | (x == 160 || y == 0 ? 0xffu : 0u);
  PixelBufferPool pool(1);
  std::shared_ptr<PixelBuffer> scratch;
  auto record = [&](const std::string& file, bool converted) {
    auto w = RecordingWriter::create(file, error);
    auto video = w ? w->addVideoInput({VideoCodec::h264, 161, 91}) : nullptr;
    ASSERT_TRUE(video && w->startWriting()) << error;
    w->startSession(kStart);
    for (int i = 0; i < 3; ++i) {
      auto planes = toI420(*picture, pool, scratch);
      ASSERT_TRUE(planes);
      const int64_t t = kStart + i * 40 * kMs;
      EXPECT_TRUE(converted ? video->appendKeeping(planes, t) : video->append(*picture, t));
    }
    w->endSession(kStart + 120 * kMs);
    std::promise<bool> done;
    w->finishWriting([&](bool ok, std::string) { done.set_value(ok); });
    ASSERT_TRUE(done.get_future().get());
  };
  record(dir + "/bgra.mp4", false);
  record(dir + "/i420.mp4", true);
  auto decoded = [](const std::string& file) {
    return test::runCommand({"ffmpeg", "-v", "error", "-i", file, "-fps_mode", "passthrough", "-f", "rawvideo",
                             "-pix_fmt", "yuv420p", "-"})
        .out;
  };
  const std::string bgra = decoded(dir + "/bgra.mp4");
  EXPECT_EQ(bgra.size(), 3u * 162 * 92 * 3 / 2);
  EXPECT_TRUE(bgra == decoded(dir + "/i420.mp4")) << "the converted frames decode to other pictures";
}

TEST_F(WriterTest, RefusesFilesItWouldOverwrite) {
  test::runCommand({"touch", dir + "/taken.mp4"});
  EXPECT_FALSE(RecordingWriter::create("file://" + dir + "/taken.mp4", error));
  EXPECT_NE(error.find("exists"), std::string::npos) << error;
}

}  // namespace
}  // namespace moxi

// The writer against ffprobe: sizes, frame counts, durations, sound, and a
// file that survives its writer being killed.
#include "capture/recording_writer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <future>
#include <thread>

#include "capture_support.h"
#include "harness/media_files.h"
#include "harness/test_desktop.h"
#include "harness/test_files.h"

namespace moxi {
namespace {

using test::probeFile;

constexpr int64_t kStart = 5'000'000'000'000;  // an arbitrary monotonic time
constexpr int64_t kMs = 1'000'000;

struct Finished {
  bool ok = false;
  std::string error;
  bool otherThread = false;
};

// Finishes the writer and waits; the completion drops the last reference to
// the writer, as the recorder does.
Finished finish(std::unique_ptr<RecordingWriter> writer) {
  std::shared_ptr<RecordingWriter> held(std::move(writer));
  std::promise<Finished> done;
  const auto caller = std::this_thread::get_id();
  int calls = 0;
  held->finishWriting([&, keep = held](bool ok, std::string error) mutable {
    ++calls;
    keep.reset();
    done.set_value({ok, std::move(error), std::this_thread::get_id() != caller});
  });
  held.reset();
  auto f = done.get_future();
  EXPECT_EQ(f.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  Finished result = f.get();
  EXPECT_EQ(calls, 1);
  return result;
}

class WriterTest : public ::testing::Test {
 protected:
  std::string dir = test::makeTempDirectory("moxi-capture-");
  std::string path = dir + "/tmp-1.mp4";
  void TearDown() override { test::runCommand({"rm", "-rf", dir}); }

  std::unique_ptr<RecordingWriter> make() {
    std::string error;
    auto w = RecordingWriter::create(path, error);
    EXPECT_TRUE(w) << error;
    return w;
  }
};

TEST_F(WriterTest, WritesEveryAppendedFrameUntilTheSessionEnd) {
  auto writer = make();
  ASSERT_TRUE(writer);
  VideoSettings settings{VideoCodec::h264, 320, 240};
  ASSERT_TRUE(writer->canApplyVideoSettings(settings));
  auto input = writer->addVideoInput(settings);
  ASSERT_TRUE(input);
  EXPECT_FALSE(input->isReadyForMoreMediaData());  // not writing yet
  ASSERT_TRUE(writer->startWriting());
  writer->startSession(kStart);
  ASSERT_TRUE(input->isReadyForMoreMediaData());
  // The frame that started the session is not appended; the next 60 are,
  // at an uneven rate.
  int64_t t = kStart;
  for (int i = 1; i <= 60; ++i) {
    t += (i % 3 == 0 ? 50 : 25) * kMs;
    ASSERT_TRUE(input->append(*test::patternFrame(320, 240, i), t));
  }
  EXPECT_FALSE(input->append(*test::patternFrame(320, 240, 0), t)) << "a frame not later than the last";
  writer->endSession(t + 300 * kMs);
  EXPECT_FALSE(input->append(*test::patternFrame(320, 240, 0), t + 400 * kMs)) << "a frame past the end";
  input->markAsFinished();
  EXPECT_FALSE(input->isReadyForMoreMediaData());
  const double expected = (t + 300 * kMs - kStart) / 1e9;

  Finished f = finish(std::move(writer));
  EXPECT_TRUE(f.ok) << f.error;
  EXPECT_TRUE(f.otherThread);
  EXPECT_FALSE(input->isReadyForMoreMediaData());

  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto probe = probeFile(path);
  ASSERT_TRUE(probe.ok) << probe.error;
  ASSERT_TRUE(probe.video());
  EXPECT_EQ(probe.video()->codecName, "h264");
  EXPECT_EQ(probe.video()->width, 320);
  EXPECT_EQ(probe.video()->height, 240);
  EXPECT_EQ(probe.video()->frames, 60);
  EXPECT_NEAR(probe.video()->duration, expected, 0.02);
  EXPECT_NEAR(probe.duration, expected, 0.02);
  EXPECT_FALSE(probe.audio());
}

TEST_F(WriterTest, OddSizesLoseTheirLastColumnAndRow) {
  auto writer = make();
  ASSERT_TRUE(writer);
  auto input = writer->addVideoInput({VideoCodec::h264, 321, 241});
  ASSERT_TRUE(input);
  ASSERT_TRUE(writer->startWriting());
  writer->startSession(kStart);
  for (int i = 1; i <= 10; ++i) ASSERT_TRUE(input->append(*test::patternFrame(321, 241, i), kStart + i * 20 * kMs));
  // A frame of another size is fitted into the video's.
  ASSERT_TRUE(input->append(*test::patternFrame(640, 200, 11), kStart + 220 * kMs));
  writer->endSession(kStart + 300 * kMs);
  EXPECT_TRUE(finish(std::move(writer)).ok);
  auto probe = probeFile(path);
  ASSERT_TRUE(probe.video()) << probe.error;
  EXPECT_EQ(probe.video()->width, 320);
  EXPECT_EQ(probe.video()->height, 240);
  EXPECT_EQ(probe.video()->frames, 11);
}

TEST_F(WriterTest, RefusesWhatItCannotWrite) {
  auto writer = make();
  ASSERT_TRUE(writer);
  for (VideoSettings bad : {VideoSettings{VideoCodec::h264, 0, 240}, VideoSettings{VideoCodec::h264, 1, 1},
                            VideoSettings{VideoCodec::h264, NAN, 240}, VideoSettings{VideoCodec::h264, 9000, 240}}) {
    EXPECT_FALSE(writer->canApplyVideoSettings(bad)) << bad.width << "x" << bad.height;
    EXPECT_FALSE(writer->addVideoInput(bad));
  }
  EXPECT_FALSE(writer->addAudioInput({0x6c70636d /* 'lpcm' */, 1, 44100, 64000}, true));
  EXPECT_FALSE(writer->startWriting()) << "a writer without inputs";
  EXPECT_EQ(writer->status(), WriterStatus::failed);
  EXPECT_FALSE(writer->error().empty());
  EXPECT_FALSE(finish(std::move(writer)).ok);

  std::string error;
  EXPECT_FALSE(RecordingWriter::create(dir + "/missing/tmp-2.mp4", error));
  EXPECT_FALSE(error.empty());
  test::runCommand({"touch", dir + "/taken.mp4"});
  EXPECT_FALSE(RecordingWriter::create("file://" + dir + "/taken.mp4", error));
  EXPECT_NE(error.find("exists"), std::string::npos) << error;
}

// Microphone-like buffers: 10 ms blocks whose time stamps jitter by a few
// milliseconds, at 48 kHz stereo, with one real gap; appended from another
// thread than the frames, as the two queues do.
TEST_F(WriterTest, SoundIsMonoAacAlongTheSessionsTimeLine) {
  auto writer = make();
  ASSERT_TRUE(writer);
  auto video = writer->addVideoInput({VideoCodec::h264, 160, 120});
  auto audio = writer->addAudioInput(AudioSettings{}, true);
  ASSERT_TRUE(video && audio);
  ASSERT_TRUE(writer->startWriting());
  writer->startSession(kStart);
  auto blockTime = [](int64_t sample) { return kStart + 50 * kMs + sample * 1'000'000'000 / 48000; };
  constexpr int64_t kSamples = 300 * 480 + 48000 / 2;
  std::thread microphone([&] {
    // Sound from before the session is cut away.
    EXPECT_TRUE(audio->append(test::toneBuffer(48000, 2, 480, kStart - 20 * kMs)));
    int64_t sample = 0;
    for (int block = 0; block < 300; ++block) {
      if (block == 150) sample += 48000 / 2;  // half a second missing
      const int64_t jitter = ((block * 7) % 9 - 4) * kMs;
      EXPECT_TRUE(audio->append(test::toneBuffer(48000, 2, 480, blockTime(sample) + jitter, sample)));
      sample += 480;
    }
  });
  for (int frame = 1; frame <= 100; ++frame) {
    ASSERT_TRUE(video->append(*test::patternFrame(160, 120, frame), blockTime(frame * kSamples / 100 - 1)));
  }
  microphone.join();
  const int64_t end = blockTime(kSamples);
  writer->endSession(end);
  // Silence fills the start (50 ms less the encoder's 1024 priming samples)
  // and the real gap; the jitter moves nothing, so it adds none.
  const WriterStatistics stats = writer->statistics();
  EXPECT_NEAR(static_cast<double>(stats.audioSilenceInserted), 2205 - 1024 + 22050, 441);
  EXPECT_EQ(stats.audioSamplesDropped, 480u) << "only the block before the session";
  EXPECT_TRUE(finish(std::move(writer)).ok);

  auto probe = probeFile(path);
  ASSERT_TRUE(probe.audio()) << probe.error;
  EXPECT_EQ(probe.audio()->codecName, "aac");
  EXPECT_EQ(probe.audio()->sampleRate, 44100);
  EXPECT_EQ(probe.audio()->channels, 1);
  EXPECT_NEAR(probe.audio()->duration, (end - kStart) / 1e9, 0.15);
  ASSERT_TRUE(probe.video());
  EXPECT_EQ(probe.video()->frames, 100);
  EXPECT_NEAR(probe.video()->duration, (end - kStart) / 1e9, 0.02);
}

// A writer killed in the middle leaves every fragment it completed.
TEST_F(WriterTest, SurvivesBeingKilledWhileWriting) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    std::string error;
    auto writer = RecordingWriter::create(path, error);
    auto input = writer ? writer->addVideoInput({VideoCodec::h264, 320, 240}) : nullptr;
    if (!input || !writer->startWriting()) _exit(1);
    writer->startSession(kStart);
    for (int i = 1; i <= 100; ++i) input->append(*test::patternFrame(320, 240, i), kStart + i * 33 * kMs);
    [[maybe_unused]] ssize_t n = write(ready[1], "x", 1);
    for (;;) pause();
  }
  close(ready[1]);
  char c = 0;
  const ssize_t n = read(ready[0], &c, 1);
  close(ready[0]);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_EQ(n, 1) << "the writing child failed";

  auto probe = probeFile(path);
  ASSERT_TRUE(probe.video()) << probe.error;
  EXPECT_EQ(probe.video()->width, 320);
  // 3.3 s of frames with a key frame each second: at least the first two
  // fragments are complete, and nothing after the last frame appended.
  EXPECT_GE(probe.video()->frames, 60);
  EXPECT_LE(probe.video()->frames, 100);
}

}  // namespace
}  // namespace moxi

#include "capture/microphone/audio_block_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

namespace moxi {
namespace {

constexpr int kRate = 44100;
constexpr size_t kBlock = 1024;
constexpr int64_t kBlockNs = int64_t{kBlock} * 1'000'000'000 / kRate;
constexpr int64_t kStart = 5'000'000'000;

// Feeds chunks of a numbered signal the way the sound server hands them over.
struct Feeder {
  AudioBlockClock clock{kRate, 1, kBlock};
  std::vector<AudioBuffer> blocks;
  int64_t frame = 0;  // next frame's number
  AudioBlockClock::Emit emit = [this](AudioBuffer b) { blocks.push_back(std::move(b)); };

  void push(size_t frames, std::optional<int64_t> measuredStartNs) {
    std::vector<int16_t> chunk(frames);
    for (auto& s : chunk) s = static_cast<int16_t>(frame++ % 30000);
    clock.push(chunk, measuredStartNs, emit);
  }
  std::vector<int64_t> starts() const {
    std::vector<int64_t> out;
    for (const auto& b : blocks) out.push_back(b.presentationTimeNs);
    return out;
  }
  // Exact monotonic time of frame n on a card that runs `ppm` fast.
  static int64_t trueTime(int64_t n, double ppm = 0) {
    return kStart + static_cast<int64_t>(static_cast<double>(n) * 1e9 / (kRate * (1 + ppm * 1e-6)));
  }
};

TEST(AudioBlockClock, NoisyReportsGiveExactContiguousBlocksOfTheWholeSignal) {
  Feeder f;
  std::mt19937 random(1);
  std::uniform_int_distribution<size_t> size(100, 3000);
  // Reports come now and then and may be off by a whole server fragment.
  std::uniform_int_distribution<int64_t> noise(-12'000'000, 12'000'000);
  for (int push = 0; f.frame < kRate * 120; ++push)
    f.push(size(random), push == 0        ? std::optional(kStart)
                         : push % 50 == 0 ? std::optional(Feeder::trueTime(f.frame) + noise(random))
                                          : std::nullopt);
  ASSERT_GT(f.blocks.size(), 5000u);
  int64_t frame = 0;
  for (const auto& b : f.blocks) {
    ASSERT_EQ(b.samples.size(), kBlock);
    EXPECT_NEAR(b.presentationTimeNs, Feeder::trueTime(frame), 1);
    for (int16_t s : b.samples) ASSERT_EQ(s, frame++ % 30000);
  }
}

TEST(AudioBlockClock, APoorFirstReportIsCorrectedOnceTheNextOnesAgree) {
  Feeder f;
  f.push(kBlock, kStart + 30'000'000);
  for (int i = 1; i < 8; ++i) f.push(kBlock, Feeder::trueTime(f.frame));
  EXPECT_NEAR(f.blocks.back().presentationTimeNs, Feeder::trueTime(7 * int64_t{kBlock}), 1'000'000);
}

TEST(AudioBlockClock, LostSoundEndsTheBlockAndRestartsAtTheMeasuredTimeAndHolesBecomeSilence) {
  Feeder f;
  f.push(1500, kStart);
  const int64_t resumed = Feeder::trueTime(1500) + 400'000'000;  // 0.4 s of sound never arrived
  f.push(kBlock, resumed);
  // An overrun the server announced restarts the time line even when small.
  f.clock.markDiscontinuity();
  const int64_t after = resumed + kBlockNs + 5'000'000;
  f.push(kBlock, after);
  EXPECT_EQ(f.starts(), (std::vector<int64_t>{kStart, kStart + kBlockNs, resumed, after}));
  EXPECT_EQ(f.blocks[1].samples.size(), 1500u - kBlock) << "the partial block is not held back";

  Feeder h;
  h.push(1000, kStart);
  h.clock.pushSilence(1048, std::nullopt, h.emit);
  h.frame += 1048;
  h.push(1024, std::nullopt);
  ASSERT_EQ(h.starts(), (std::vector<int64_t>{kStart, Feeder::trueTime(1024), Feeder::trueTime(2048)}));
  EXPECT_EQ(std::count(h.blocks[0].samples.begin() + 1000, h.blocks[0].samples.end(), 0), 24);
  EXPECT_EQ(h.blocks[2].samples[0], 2048);
}

TEST(AudioBlockClock, ADriftingCardIsFollowedInRareSmallSteps) {
  Feeder f;
  constexpr double kPpm = 100;  // a poor sound card
  for (int push = 0; f.frame < int64_t{kRate} * 900; ++push)
    f.push(882, push % 64 == 0 ? std::optional(Feeder::trueTime(f.frame, kPpm)) : std::nullopt);
  int steps = 0;
  for (size_t i = 0; i < f.blocks.size(); ++i) {
    const int64_t t = f.blocks[i].presentationTimeNs;
    EXPECT_LT(std::llabs(t - Feeder::trueTime(int64_t(i * kBlock), kPpm)), 25'000'000) << "block " << i;
    const int64_t step = i == 0 ? 0 : t - f.blocks[i - 1].presentationTimeNs - kBlockNs;
    if (std::llabs(step) <= 1) continue;
    ++steps;
    EXPECT_LT(std::llabs(step), 25'000'000);
  }
  // 900 s at 100 ppm is 90 ms: about four steps of 20 ms.
  EXPECT_TRUE(steps >= 3 && steps <= 5) << steps;
}

}  // namespace
}  // namespace moxi

#pragma once
// Cuts the sound server's chunks into fixed-size blocks and stamps each block
// with the monotonic time of its first sample.
//
// Time stamps come from a running sample count since an anchor, not from each
// measurement: measurements jitter by milliseconds, and a writer wants blocks
// that follow each other exactly. Each measurement is compared with the
// count's prediction; a large difference means sound was lost (the time line
// starts again from the measurement), while small ones are averaged, and a
// lasting average error (the sound card's clock drifting from the monotonic
// clock, or a poor first measurement) nudges the time line, rarely, in one
// step of about kDriftLimitNs.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "capture/microphone/audio_buffer.h"

namespace moxi {

class AudioBlockClock {
 public:
  using Emit = std::function<void(AudioBuffer)>;

  static constexpr int64_t kJumpLimitNs = 100'000'000;  // beyond this, sound was lost
  static constexpr int64_t kDriftLimitNs = 20'000'000;  // a lasting error this large is corrected
  static constexpr int kMinMeasurements = 4;            // averaged before any correction

  AudioBlockClock(int sampleRate, int channels, size_t framesPerBlock);

  // `samples` (interleaved) follow the previous ones. `measuredStartNs`, when
  // a fresh measurement is at hand, is the monotonic time of their first frame
  // as measured (from the sound server's latency report). The first push, and
  // the first after markDiscontinuity(), needs one. Full blocks go to `emit`.
  void push(std::span<const int16_t> samples, std::optional<int64_t> measuredStartNs, const Emit& emit);
  // A hole the server left in the stream: silence keeps the time line right.
  void pushSilence(size_t frames, std::optional<int64_t> measuredStartNs, const Emit& emit);
  // Sound was lost before the next push: the next measurement starts a new time line.
  void markDiscontinuity() { anchored_ = false; }
  // Delivers the partial block, if any.
  void flush(const Emit& emit);
  // Forgets everything, for a new run.
  void reset();

  // How often the time line started again or was nudged (for diagnostics).
  int restarts() const { return restarts_; }
  int corrections() const { return corrections_; }

 private:
  void align(std::optional<int64_t> measuredStartNs, const Emit& emit);
  void append(const int16_t* samples, size_t frames, const Emit& emit);
  int64_t timeAt(int64_t frames) const;

  int sampleRate_;
  int channels_;
  size_t framesPerBlock_;
  bool started_ = false;  // a time line has begun since the last reset
  bool anchored_ = false;
  int64_t anchorNs_ = 0;
  int64_t framesSinceAnchor_ = 0;
  double smoothedErrorNs_ = 0;
  int measurements_ = 0;  // averaged into smoothedErrorNs_ since the anchor
  std::vector<int16_t> pending_;
  int64_t pendingStartNs_ = 0;
  int restarts_ = 0;
  int corrections_ = 0;
};

}  // namespace moxi

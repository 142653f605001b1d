#include "capture/microphone/audio_block_clock.h"

#include <algorithm>
#include <cstdlib>

namespace moxi {

namespace {
constexpr int64_t kNanosPerSecond = 1'000'000'000;
// The error is the mean of the measurements since the anchor, then a moving
// average over about the last sixteen (with reports every 1.5 s, 24 s).
constexpr int kAveraged = 16;
}  // namespace

AudioBlockClock::AudioBlockClock(int sampleRate, int channels, size_t framesPerBlock)
    : sampleRate_(sampleRate), channels_(channels), framesPerBlock_(framesPerBlock) {
  pending_.reserve(framesPerBlock_ * static_cast<size_t>(channels_));
}

int64_t AudioBlockClock::timeAt(int64_t frames) const {
  // Split so that days of samples cannot overflow the product.
  return anchorNs_ + frames / sampleRate_ * kNanosPerSecond + frames % sampleRate_ * kNanosPerSecond / sampleRate_;
}

void AudioBlockClock::align(std::optional<int64_t> measuredStartNs, const Emit& emit) {
  if (!measuredStartNs) return;  // the count alone goes on
  if (anchored_) {
    int64_t predicted = timeAt(framesSinceAnchor_);
    int64_t error = *measuredStartNs - predicted;
    if (std::llabs(error) <= kJumpLimitNs) {
      ++measurements_;
      smoothedErrorNs_ += (static_cast<double>(error) - smoothedErrorNs_) / std::min(measurements_, kAveraged);
      if (measurements_ >= kMinMeasurements && std::abs(smoothedErrorNs_) > static_cast<double>(kDriftLimitNs)) {
        anchorNs_ = predicted + static_cast<int64_t>(smoothedErrorNs_);
        framesSinceAnchor_ = 0;
        smoothedErrorNs_ = 0;
        measurements_ = 0;
        ++corrections_;
      }
      return;
    }
  }
  // First sound of a run, or sound was lost: what is pending ends its time line.
  if (started_) ++restarts_;
  started_ = true;
  flush(emit);
  anchored_ = true;
  anchorNs_ = *measuredStartNs;
  framesSinceAnchor_ = 0;
  smoothedErrorNs_ = 0;
  measurements_ = 0;
}

void AudioBlockClock::append(const int16_t* samples, size_t frames, const Emit& emit) {
  const size_t channels = static_cast<size_t>(channels_);
  while (frames > 0) {
    if (pending_.empty()) pendingStartNs_ = timeAt(framesSinceAnchor_);
    size_t room = framesPerBlock_ - pending_.size() / channels;
    size_t take = std::min(room, frames);
    if (samples) {
      pending_.insert(pending_.end(), samples, samples + take * channels);
      samples += take * channels;
    } else {
      pending_.resize(pending_.size() + take * channels, 0);
    }
    frames -= take;
    framesSinceAnchor_ += static_cast<int64_t>(take);
    if (pending_.size() == framesPerBlock_ * channels) flush(emit);
  }
}

void AudioBlockClock::push(std::span<const int16_t> samples, std::optional<int64_t> measuredStartNs,
                           const Emit& emit) {
  size_t frames = samples.size() / static_cast<size_t>(channels_);
  if (frames == 0) return;
  align(measuredStartNs, emit);
  append(samples.data(), frames, emit);
}

void AudioBlockClock::pushSilence(size_t frames, std::optional<int64_t> measuredStartNs, const Emit& emit) {
  if (frames == 0) return;
  align(measuredStartNs, emit);
  append(nullptr, frames, emit);
}

void AudioBlockClock::flush(const Emit& emit) {
  if (pending_.empty()) return;
  AudioBuffer block;
  block.samples = std::move(pending_);
  block.sampleRate = sampleRate_;
  block.channels = channels_;
  block.presentationTimeNs = pendingStartNs_;
  pending_ = {};
  pending_.reserve(framesPerBlock_ * static_cast<size_t>(channels_));
  emit(std::move(block));
}

void AudioBlockClock::reset() {
  anchored_ = false;
  started_ = false;
  framesSinceAnchor_ = 0;
  smoothedErrorNs_ = 0;
  measurements_ = 0;
  pending_.clear();
  restarts_ = 0;
  corrections_ = 0;
}

}  // namespace moxi

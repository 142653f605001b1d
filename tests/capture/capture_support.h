#pragma once
// Helpers shared by the capture tests: synthetic frames and sound.
#include <cstdint>
#include <memory>

#include "capture/audio_buffer.h"
#include "capture/sample_buffer.h"

namespace moxi::test {

// A frame with a pattern that moves with `index`, so that every frame differs.
std::shared_ptr<PixelBuffer> patternFrame(int width, int height, int index);

// `frames` sample frames of a 440 Hz tone, the first being sample `firstSample` of the tone.
AudioBuffer toneBuffer(int sampleRate, int channels, int frames, int64_t presentationTimeNs, int64_t firstSample = 0);

}  // namespace moxi::test

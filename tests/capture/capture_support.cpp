#include "capture_support.h"

#include <cmath>

namespace moxi::test {

std::shared_ptr<PixelBuffer> patternFrame(int width, int height, int index) {
  auto frame = PixelBuffer::allocate(width, height);
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(frame->pixels + static_cast<size_t>(y) * frame->stride);
    for (int x = 0; x < width; ++x) {
      const uint32_t r = static_cast<uint32_t>((x + index * 7) & 0xff);
      const uint32_t g = static_cast<uint32_t>((y + index * 3) & 0xff);
      const uint32_t b = static_cast<uint32_t>(((x / 16 + y / 16 + index) & 1) * 255);
      row[x] = 0xff000000u | (r << 16) | (g << 8) | b;
    }
  }
  return frame;
}

AudioBuffer toneBuffer(int sampleRate, int channels, int frames, int64_t presentationTimeNs, int64_t firstSample) {
  AudioBuffer b;
  b.sampleRate = sampleRate;
  b.channels = channels;
  b.presentationTimeNs = presentationTimeNs;
  b.samples.resize(static_cast<size_t>(frames) * channels);
  for (int i = 0; i < frames; ++i) {
    const double t = static_cast<double>(firstSample + i) / sampleRate;
    const auto v = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * t));
    for (int c = 0; c < channels; ++c) b.samples[static_cast<size_t>(i) * channels + c] = v;
  }
  return b;
}

}  // namespace moxi::test

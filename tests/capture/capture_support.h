#pragma once
// Helpers shared by the capture tests: reading files back with ffprobe,
// synthetic frames and sound.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/audio_buffer.h"
#include "capture/sample_buffer.h"

namespace moxi::test {

struct ProbedStream {
  std::string codecType;  // "video" or "audio"
  std::string codecName;
  int width = 0;
  int height = 0;
  int sampleRate = 0;
  int channels = 0;
  int64_t frames = -1;    // decoded frames (video) or packets (audio)
  double duration = -1;   // seconds
};

struct Probe {
  bool ok = false;
  std::string error;
  double duration = -1;  // the container's
  std::vector<ProbedStream> streams;
  const ProbedStream* video() const;
  const ProbedStream* audio() const;
};

// Reads a media file with ffprobe, counting frames by decoding them.
Probe probeFile(const std::string& path);

// A fresh directory under /tmp for one test's files.
std::string makeTestDirectory();

// A frame with a pattern that moves with `index`, so that every frame differs.
std::shared_ptr<PixelBuffer> patternFrame(int width, int height, int index);

// `frames` sample frames of a 440 Hz tone, the first being sample `firstSample` of the tone.
AudioBuffer toneBuffer(int sampleRate, int channels, int frames, int64_t presentationTimeNs, int64_t firstSample = 0);

}  // namespace moxi::test

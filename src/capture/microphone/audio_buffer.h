#pragma once
#include <cstdint>
#include <vector>

namespace moxi {

// One block of microphone sound: interleaved signed 16-bit samples.
struct AudioBuffer {
  std::vector<int16_t> samples;
  int sampleRate = 44100;
  int channels = 1;
  // Monotonic-clock time of the first sample (the clock of the video frames),
  // already corrected for the sound server's latency.
  int64_t presentationTimeNs = 0;
};

}  // namespace moxi

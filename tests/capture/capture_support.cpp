#include "capture_support.h"

#include <stdlib.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "harness/test_desktop.h"

namespace moxi::test {

const ProbedStream* Probe::video() const {
  for (const auto& s : streams)
    if (s.codecType == "video") return &s;
  return nullptr;
}

const ProbedStream* Probe::audio() const {
  for (const auto& s : streams)
    if (s.codecType == "audio") return &s;
  return nullptr;
}

namespace {
double number(const nlohmann::json& j, const char* key, double fallback) {
  if (!j.contains(key)) return fallback;
  const auto& v = j[key];
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) {
    try {
      return std::stod(v.get<std::string>());
    } catch (...) {
      return fallback;
    }
  }
  return fallback;
}
}  // namespace

Probe probeFile(const std::string& path) {
  Probe p;
  auto r = runCommand({"ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format", "-of", "json", path},
                      std::chrono::seconds(60));
  if (r.exitCode != 0) {
    p.error = "ffprobe failed on " + path;
    return p;
  }
  auto j = nlohmann::json::parse(r.out, nullptr, false);
  if (j.is_discarded()) {
    p.error = "ffprobe gave no JSON";
    return p;
  }
  p.ok = true;
  if (j.contains("format")) p.duration = number(j["format"], "duration", -1);
  for (const auto& s : j.value("streams", nlohmann::json::array())) {
    ProbedStream ps;
    ps.codecType = s.value("codec_type", "");
    ps.codecName = s.value("codec_name", "");
    ps.width = s.value("width", 0);
    ps.height = s.value("height", 0);
    ps.sampleRate = static_cast<int>(number(s, "sample_rate", 0));
    ps.channels = s.value("channels", 0);
    ps.frames = static_cast<int64_t>(number(s, "nb_read_frames", -1));
    ps.duration = number(s, "duration", -1);
    p.streams.push_back(ps);
  }
  return p;
}

std::string makeTestDirectory() {
  std::string pattern = "/tmp/moxi-capture-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
  return pattern;
}

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

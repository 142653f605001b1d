#include "harness/media_files.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>

#include "harness/test_desktop.h"
#include "harness/test_files.h"

namespace moxi::test {

using namespace std::chrono_literals;

std::vector<const ProbedStream*> Probe::of(const std::string& codecType) const {
  std::vector<const ProbedStream*> found;
  for (const auto& s : streams)
    if (s.codecType == codecType) found.push_back(&s);
  return found;
}

namespace {
// ffprobe gives some numbers as strings.
double number(const nlohmann::json& j, const char* key, double fallback) {
  if (!j.contains(key)) return fallback;
  if (j[key].is_number()) return j[key].get<double>();
  if (!j[key].is_string()) return fallback;
  const std::string text = j[key];
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  return end == text.c_str() ? fallback : v;
}
}  // namespace

Probe probeFile(const std::string& path, bool decode) {
  Probe p;
  std::vector<std::string> argv{"ffprobe", "-v", "error", "-count_packets", "-show_streams", "-show_format",
                                "-of", "json", path};
  if (decode) argv.insert(argv.begin() + 3, "-count_frames");
  auto r = runCommand(argv, 60s);
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
  for (const auto& s : j.value("streams", nlohmann::json::array()))
    p.streams.push_back({s.value("codec_type", ""), s.value("codec_name", ""), s.value("width", 0),
                         s.value("height", 0), static_cast<int>(number(s, "sample_rate", 0)), s.value("channels", 0),
                         static_cast<int64_t>(number(s, "nb_read_frames", -1)),
                         static_cast<int64_t>(number(s, "nb_read_packets", -1)), number(s, "duration", -1),
                         s.value("pix_fmt", "")});
  return p;
}

std::vector<std::vector<std::string>> packets(const std::string& path) {
  std::vector<std::vector<std::string>> streams;
  std::istringstream in(output({"ffprobe", "-v", "error", "-show_data_hash", "MD5", "-show_entries",
                                "packet=stream_index,pts_time,dts_time,size,flags,data_hash", "-of", "csv=p=0",
                                path}));
  for (std::string l; std::getline(in, l);) {
    size_t comma = l.find(',');
    size_t index = std::stoul(l.substr(0, comma));
    if (streams.size() <= index) streams.resize(index + 1);
    streams[index].push_back(l.substr(comma + 1));
  }
  return streams;
}

std::string formatTag(const std::string& path, const std::string& tag) {
  auto json = nlohmann::json::parse(
      output({"ffprobe", "-v", "error", "-show_entries", "format_tags", "-of", "json", path}), nullptr, false);
  if (json.is_discarded() || !json["format"]["tags"].contains(tag)) return {};
  return json["format"]["tags"][tag];
}

std::vector<Box> topLevelBoxes(const std::string& path) {
  std::string bytes = readFile(path);
  std::vector<Box> boxes;
  for (uint64_t at = 0, size; at + 8 <= bytes.size(); at += size) {
    auto number = [&](uint64_t from, int n) {
      uint64_t v = 0;
      for (int i = 0; i < n; ++i) v = v << 8 | static_cast<unsigned char>(bytes[from + i]);
      return v;
    };
    size = number(at, 4);
    boxes.push_back({at, bytes.substr(at + 4, 4)});
    if (size == 1 && at + 16 <= bytes.size()) size = number(at + 8, 8);
    if (size < 8) break;  // 0: to the end of the file
  }
  return boxes;
}

std::string sineFault(const std::string& path) {
  const Probe p = probeFile(path);
  if (p.of("audio").size() != 1 || !p.video()) return "not one audio and one video track";
  const ProbedStream& a = *p.audio();
  if (a.codecName != "aac" || a.channels != 1 || a.sampleRate != 44100) return "not mono AAC at 44.1 kHz";
  if (std::abs(a.duration - p.video()->duration) > 0.15) return "sound and video lengths differ";
  const std::string pcm = runCommand({"ffmpeg", "-v", "error", "-i", path, "-map", "0:a:0", "-f", "s16le", "-"}, 60s).out;
  std::vector<int16_t> s(std::min(pcm.size() / 2, static_cast<size_t>(a.duration * 44100)));
  std::memcpy(s.data(), pcm.data(), s.size() * 2);
  // The encoder's priming frame, then silence until the microphone started
  // after the first frame; the last frame ends in the encoder's padding.
  constexpr size_t kFrame = 1024, kHole = 441, kPitch = 4410;
  size_t first = 0;
  while (first < s.size() && std::abs(s[first]) < 4000) ++first;
  if (first > kFrame + kPitch || s.size() < first + kFrame + 22050) return "the sound starts late or is short";
  for (size_t from = first; from + kPitch <= s.size() - kFrame; from += kHole) {
    double energy = 0;
    int crossings = 0;
    for (size_t i = from; i < from + kHole; ++i) energy += double(s[i]) * s[i];
    for (size_t i = from + 1; i < from + kPitch; ++i) crossings += s[i - 1] < 0 && s[i] >= 0;
    if (std::sqrt(energy / kHole) < 3000) return "silence at " + std::to_string(from / 44100.0) + " s";
    if (std::abs(crossings * 10 - 440) > 20) return "off pitch at " + std::to_string(from / 44100.0) + " s";
  }
  return {};
}

}  // namespace moxi::test

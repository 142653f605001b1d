#pragma once
// Media files read back the way a user's tools see them: ffprobe's streams,
// packets and tags, and the top-level boxes of an MPEG-4 file.
#include <cstdint>
#include <string>
#include <vector>

namespace moxi::test {

struct ProbedStream {
  std::string codecType;  // "video" or "audio"
  std::string codecName;
  int width = 0;
  int height = 0;
  int sampleRate = 0;
  int channels = 0;
  int64_t frames = -1;   // decoded frames
  int64_t packets = -1;  // packets in the file
  double duration = -1;  // seconds
  std::string pixelFormat;
};

struct Probe {
  bool ok = false;
  std::string error;
  double duration = -1;  // the container's
  std::vector<ProbedStream> streams;
  std::vector<const ProbedStream*> of(const std::string& codecType) const;
  // The first stream of the type, or null.
  const ProbedStream* video() const { return first("video"); }
  const ProbedStream* audio() const { return first("audio"); }
  const ProbedStream* first(const std::string& codecType) const {
    auto found = of(codecType);
    return found.empty() ? nullptr : found[0];
  }
};

// Reads a media file with ffprobe, counting each stream's packets and, with
// `decode`, its frames by decoding them: a file that is cut or damaged fails
// there or has fewer frames than packets.
Probe probeFile(const std::string& path, bool decode = true);

// Each stream's packets in file order: "pts time,dts time,size,flags,MD5 of data".
std::vector<std::vector<std::string>> packets(const std::string& path);
// A tag of the container, or empty.
std::string formatTag(const std::string& path, const std::string& tag);

// What is wrong with the first audio track as the harness's 440 Hz sine
// source recorded: not one mono 44.1 kHz AAC track as long as the video,
// late, holes of 10 ms, or off pitch. Empty when it is right.
std::string sineFault(const std::string& path);

struct Box {
  uint64_t offset = 0;
  std::string type;
};
// The top-level boxes of an MPEG-4 file, in order.
std::vector<Box> topLevelBoxes(const std::string& path);

}  // namespace moxi::test

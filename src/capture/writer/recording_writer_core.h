#pragma once
// Inside the raw recording's writer: what its file, its video track and its
// sound track share, behind one lock (video appends, audio appends and the
// finish come from three threads). The file and the video track are in
// recording_writer.cpp, the sound in recording_audio_track.cpp.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/writer/recording_file.h"
#include "capture/writer/recording_writer.h"
#include "common/ffmpeg.h"
#include "common/swresample.h"

namespace moxi::writer_detail {

inline constexpr AVRational kVideoTimeBase{1, 90000};
inline constexpr int64_t kNanos = 1'000'000'000;

struct Core {
  Core() = default;
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;
  // The file's I/O is the RecordingFile's own, not FFmpeg's to close.
  ~Core() {
    if (format) format->pb = nullptr;
  }

  mutable std::mutex mutex;
  std::string path;
  VideoEncoderOptions options;
  WriterStatus status = WriterStatus::unknown;
  std::string error;
  std::unique_ptr<RecordingFile> file;
  int storageError = 0;  // errno that stopped the file, see RecordingWriter
  ff::OutputContext format;
  std::optional<int64_t> sessionStart;
  std::optional<int64_t> sessionEnd;
  WriterStatistics stats;

  struct Video {
    ff::CodecContext codec;
    AVStream* stream = nullptr;
    ff::Frame frame;  // BGRA frames are converted into this (its buffer made on the first)
    int sourceWidth = 0, sourceHeight = 0;  // the settings' size
    std::shared_ptr<PixelBuffer> fitted;    // frames of another size are scaled into this
    std::shared_ptr<PixelBuffer> padded;    // an odd-sized picture grown to the encoder's even size
    int64_t lastPts = AV_NOPTS_VALUE;       // 1/90000 s since the session start
    int64_t lastKeyPts = AV_NOPTS_VALUE;
    ff::Packet pending;  // held until the next one gives its duration
    bool finished = false;
  };
  std::unique_ptr<Video> video;

  struct Audio {
    ff::CodecContext codec;
    AVStream* stream = nullptr;
    ff::Frame frame;
    int rate = 44100;
    int padding = 0;       // encoder priming samples
    ff::Resampler resampler;
    int inRate = 0, inChannels = 0;
    std::vector<float> fifo;  // resampled, waiting for a full encoder frame
    int64_t queued = 0;       // output index of the next sample (encoded + fifo)
    int64_t encoded = 0;
    bool anchored = false;
    int64_t anchorNs = 0;     // session time of the anchor buffer's first sample
    int64_t inputSinceAnchor = 0;
    bool finished = false;
  };
  std::unique_ptr<Audio> audio;

  bool writing() const { return status == WriterStatus::writing; }
  void fail(const std::string& what, int code = 0) {
    if (status == WriterStatus::failed) return;
    status = WriterStatus::failed;
    error = code ? what + ": " + ff::errorText(code) : what;
  }

  // Hands every packet the encoder has ready to `take`; false when the
  // encoder fails (reported as `failure`) or `take` does.
  template <class Take>
  bool receivePackets(AVCodecContext* codec, const char* failure, Take take) {
    for (;;) {
      ff::Packet packet(av_packet_alloc());
      if (!packet) return false;
      const int r = avcodec_receive_packet(codec, packet.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) {
        fail(failure, r);
        return false;
      }
      if (!take(std::move(packet))) return false;
    }
  }

  // The file
  bool writePacket(AVPacket* packet);
  // True once the file cannot be written on (storageError set).
  bool checkStorage();
  bool startWriting();
  std::pair<bool, std::string> finish();
  // The video track
  bool openVideo(int width, int height);
  int64_t sessionTicks(int64_t ns, AVRational tb) const;
  // `held`, when given, is `px` itself, to be kept rather than copied.
  bool appendVideo(const PixelBuffer& px, int64_t ptsNs, const std::shared_ptr<const PixelBuffer>& held = nullptr);
  bool encodeVideo(AVFrame* f, int64_t pts);
  bool drainVideo();
  bool finishVideo();
  // The sound track
  bool openAudio(const AudioSettings& s);
  int64_t audioIndexAt(int64_t sessionNs) const;
  bool makeResampler(int inRate, int inChannels);
  void resample(const int16_t* input, int frames);
  void trimAudioToEnd();
  bool encodeAudioFrame(int samples);
  bool drainAudio();
  bool appendAudio(const AudioBuffer& b);
  bool finishAudio();
};

}  // namespace moxi::writer_detail

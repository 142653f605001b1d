#pragma once
// The raw recording's writer: H.264 video (and optionally AAC sound) into a
// fragmented MPEG-4 file, which stays readable up to its last complete
// fragment (about a second) if the program dies while writing.
//
// Threads: video appends come from one queue, audio appends from another,
// the session calls and finishWriting from a third (the main thread); every
// call is safe from any thread. finishWriting's completion runs once, on a
// thread of the writer's own, without any lock of the writer held, and may
// destroy the writer.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/microphone/audio_buffer.h"
#include "capture/sample_buffer.h"

namespace moxi {

enum class VideoCodec { h264 };

struct VideoSettings {
  VideoCodec codec = VideoCodec::h264;
  float width = 0;  // pixels
  float height = 0;
};

// Four-character code of MPEG-4 AAC ('aac ').
inline constexpr uint32_t kAudioFormatMPEG4AAC = 0x61616320;

struct AudioSettings {
  uint32_t formatID = kAudioFormatMPEG4AAC;
  int numberOfChannels = 1;
  double sampleRate = 44100;
  int encoderBitRate = 64000;
};

// How the H.264 encoder runs. The defaults suit real-time screen content on
// two cores (see the README's section on encoder settings).
struct VideoEncoderOptions {
  std::string preset = "superfast";
  std::string tune = "zerolatency";
  int crf = 23;
  int threads = 2;
  double keyFrameIntervalSeconds = 1.0;
};

// The size of the pictures these settings give: their own, odd sizes
// included (the movie's frames are the next even size, see below). Absent
// when the settings cannot be applied: not H.264, not a finite size, smaller
// than 2 x 2 or larger than 8192 x 8192.
std::optional<std::pair<int, int>> recordedVideoSize(const VideoSettings& settings);

enum class WriterStatus { unknown, writing, completed, failed };

class VideoWriterInput {
 public:
  virtual ~VideoWriterInput() = default;
  // True while the writer is writing and the input is not marked finished.
  virtual bool isReadyForMoreMediaData() const = 0;
  // Encodes a BGRA frame at its presentation time (CLOCK_MONOTONIC ns).
  // A frame of another size than the settings is scaled to fit. Refused
  // (false) before the session starts, at or after its end, or when not
  // later than the previous frame.
  virtual bool append(const PixelBuffer& frame, int64_t presentationTimeNs) = 0;
  // The same, but a frame the capture converted for the encoder is handed
  // over as it is, held (not copied) until the encoder has read it.
  virtual bool appendKeeping(std::shared_ptr<const PixelBuffer> frame, int64_t presentationTimeNs) {
    return frame && append(*frame, presentationTimeNs);
  }
  virtual void markAsFinished() = 0;
};

class AudioWriterInput {
 public:
  virtual ~AudioWriterInput() = default;
  virtual bool isReadyForMoreMediaData() const = 0;
  // Any sample rate and channel count; mixed down and resampled to the
  // input's settings. Time stamps follow the sample count from the first
  // buffer on; a jump of more than 100 ms against it is a real gap (filled
  // with silence) or overlap (dropped).
  virtual bool append(const AudioBuffer& buffer) = 0;
  virtual void markAsFinished() = 0;
};

struct WriterStatistics {
  uint64_t videoFramesWritten = 0;
  uint64_t videoFramesRefused = 0;
  uint64_t audioSamplesWritten = 0;  // at the output rate, silence included
  uint64_t audioSilenceInserted = 0;
  uint64_t audioSamplesDropped = 0;  // input samples
};

class RecordingWriter {
 public:
  // A writer for an MPEG-4 file at `path` (a file path or file:// URL),
  // which must not exist yet; null with `error` set otherwise.
  static std::unique_ptr<RecordingWriter> create(const std::string& path, std::string& error,
                                                 const VideoEncoderOptions& options = {});
  virtual ~RecordingWriter() = default;

  virtual bool canApplyVideoSettings(const VideoSettings& settings) const = 0;
  // The inputs belong to the writer once added; null when refused (settings
  // that cannot be applied, a second input of the kind, or writing started).
  virtual std::shared_ptr<VideoWriterInput> addVideoInput(const VideoSettings& settings) = 0;
  virtual std::shared_ptr<AudioWriterInput> addAudioInput(const AudioSettings& settings,
                                                          bool expectsMediaDataInRealTime) = 0;
  // Creates the file (mode 0600) and writes its header. False, with
  // status() failed and error() set, when that fails.
  virtual bool startWriting() = 0;
  // The file's time line starts at this presentation time; the first frame
  // written is shown from there.
  virtual void startSession(int64_t presentationTimeNs) = 0;
  // ... and ends here: the last frame lasts until then, later media is dropped.
  virtual void endSession(int64_t presentationTimeNs) = 0;
  // Flushes the encoders and completes the file; see the threading note above.
  virtual void finishWriting(std::function<void(bool ok, std::string error)> completion) = 0;

  // The errno that stopped the file from being written (ENOSPC, EROFS, ...;
  // ENOENT when the file or its folder was removed while it was written), 0
  // while the file is fine. Asking also looks for a removed file, which
  // writes alone never show; once it is set the writer has failed. A failed
  // file is finished up to its last whole fragment (about a second).
  virtual int storageError() { return 0; }
  virtual WriterStatus status() const = 0;
  virtual std::string error() const = 0;
  virtual std::string path() const = 0;
  virtual WriterStatistics statistics() const = 0;
};

}  // namespace moxi

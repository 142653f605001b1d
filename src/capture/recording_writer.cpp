#include "capture/recording_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}
#include <libyuv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "capture/pixel_ops.h"
#include "platform/ffmpeg.h"
#include "platform/swresample.h"

namespace moxi {

std::optional<std::pair<int, int>> encodedVideoSize(const VideoSettings& settings) {
  if (settings.codec != VideoCodec::h264) return std::nullopt;
  if (!std::isfinite(settings.width) || !std::isfinite(settings.height)) return std::nullopt;
  if (settings.width > 8192 || settings.height > 8192) return std::nullopt;
  const int width = static_cast<int>(settings.width) & ~1;
  const int height = static_cast<int>(settings.height) & ~1;
  if (width < 2 || height < 2) return std::nullopt;
  return std::pair{width, height};
}

namespace {

constexpr AVRational kVideoTimeBase{1, 90000};
constexpr int64_t kNanos = 1'000'000'000;
// A jump in the microphone's time stamps beyond this is a real gap or overlap;
// anything smaller is jitter that the sample count smooths away.
constexpr int64_t kAudioDiscontinuityNs = 100'000'000;

std::string pathFromUrl(const std::string& text) {
  constexpr std::string_view scheme = "file://";
  if (text.rfind(scheme, 0) != 0) return text;
  std::string out;
  for (size_t i = scheme.size(); i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Everything the writer and its inputs share, behind one lock: video
// appends, audio appends and finishing may come from three threads.
struct Core {
  mutable std::mutex mutex;
  std::string path;
  VideoEncoderOptions options;
  WriterStatus status = WriterStatus::unknown;
  std::string error;
  ff::OutputContext format;
  std::optional<int64_t> sessionStart;
  std::optional<int64_t> sessionEnd;
  WriterStatistics stats;

  struct Video {
    ff::CodecContext codec;
    AVStream* stream = nullptr;
    ff::Frame frame;
    int sourceWidth = 0, sourceHeight = 0;  // the settings' size
    std::shared_ptr<PixelBuffer> fitted;    // frames of another size are scaled into this
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

  bool writePacket(AVPacket* packet) {
    const int r = av_write_frame(format.get(), packet);
    if (r < 0) fail("cannot write to " + path, r);
    return r >= 0;
  }

  // ---- video ----

  bool openVideo(int width, int height, int sourceWidth, int sourceHeight) {
    const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
    if (!encoder) return false;
    auto v = std::make_unique<Video>();
    v->codec.reset(avcodec_alloc_context3(encoder));
    if (!v->codec) return false;
    AVCodecContext* c = v->codec.get();
    c->width = width;
    c->height = height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = kVideoTimeBase;
    c->framerate = {60, 1};  // nominal; frames carry their own times
    c->gop_size = 600;       // key frames come by time, see appendVideo
    c->max_b_frames = 0;     // decode order = presentation order, no negative times
    c->thread_count = options.threads;
    c->colorspace = AVCOL_SPC_SMPTE170M;  // libyuv converts with BT.601 coefficients
    c->color_range = AVCOL_RANGE_MPEG;
    if (format->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* raw = nullptr;
    av_dict_set(&raw, "preset", options.preset.c_str(), 0);
    if (!options.tune.empty()) av_dict_set(&raw, "tune", options.tune.c_str(), 0);
    av_dict_set_int(&raw, "crf", options.crf, 0);
    av_dict_set(&raw, "forced-idr", "1", 0);
    const int r = avcodec_open2(c, encoder, &raw);
    std::unique_ptr<AVDictionary, ff::DictionaryDeleter> unused(raw);
    if (r < 0) {
      error = "cannot open the H.264 encoder: " + ff::errorText(r);
      return false;
    }
    v->stream = avformat_new_stream(format.get(), nullptr);
    if (!v->stream || avcodec_parameters_from_context(v->stream->codecpar, c) < 0) return false;
    v->stream->time_base = kVideoTimeBase;
    v->frame.reset(av_frame_alloc());
    if (!v->frame) return false;
    v->frame->format = c->pix_fmt;
    v->frame->width = width;
    v->frame->height = height;
    if (av_frame_get_buffer(v->frame.get(), 0) < 0) return false;
    v->sourceWidth = sourceWidth;
    v->sourceHeight = sourceHeight;
    video = std::move(v);
    return true;
  }

  int64_t sessionTicks(int64_t ns, AVRational tb) const {
    return av_rescale_q_rnd(ns - *sessionStart, {1, static_cast<int>(kNanos)}, tb, AV_ROUND_NEAR_INF);
  }

  bool appendVideo(const PixelBuffer& px, int64_t ptsNs) {
    Video& v = *video;
    if (!writing() || v.finished || !sessionStart || !px.pixels || px.width <= 0 || px.height <= 0) return false;
    if (sessionEnd && ptsNs >= *sessionEnd) return false;
    int64_t pts = sessionTicks(ptsNs, kVideoTimeBase);
    if (pts < 0) return false;
    // The first frame written is shown from the session's start.
    if (v.lastPts == AV_NOPTS_VALUE) pts = 0;
    else if (pts <= v.lastPts) return false;

    AVFrame* f = v.frame.get();
    if (av_frame_make_writable(f) < 0) return false;
    const PixelBuffer* source = &px;
    if (px.width != v.sourceWidth || px.height != v.sourceHeight) {
      if (!v.fitted) v.fitted = PixelBuffer::allocate(f->width, f->height);
      scaleToFit(px, *v.fitted);
      source = v.fitted.get();
    }
    // An odd source loses its last column or row here.
    libyuv::ARGBToI420(source->pixels, source->stride, f->data[0], f->linesize[0], f->data[1], f->linesize[1],
                       f->data[2], f->linesize[2], f->width, f->height);
    f->pts = pts;
    const int64_t keyInterval = std::llround(options.keyFrameIntervalSeconds * kVideoTimeBase.den);
    const bool key = v.lastKeyPts == AV_NOPTS_VALUE || pts - v.lastKeyPts >= keyInterval;
    f->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (key) v.lastKeyPts = pts;
    const int r = avcodec_send_frame(v.codec.get(), f);
    if (r < 0) {
      fail("the H.264 encoder refused a frame", r);
      return false;
    }
    v.lastPts = pts;
    ++stats.videoFramesWritten;
    return drainVideo();
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

  bool drainVideo() {
    Video& v = *video;
    return receivePackets(v.codec.get(), "the H.264 encoder failed", [&](ff::Packet packet) {
      // The encoder's own key frames (scene cuts) restart the interval too.
      if (packet->flags & AV_PKT_FLAG_KEY) v.lastKeyPts = std::max(v.lastKeyPts, packet->pts);
      packet->stream_index = v.stream->index;
      av_packet_rescale_ts(packet.get(), v.codec->time_base, v.stream->time_base);
      if (v.pending) {
        v.pending->duration = std::max<int64_t>(1, packet->dts - v.pending->dts);
        if (!writePacket(v.pending.get())) return false;
      }
      v.pending = std::move(packet);
      return true;
    });
  }

  bool finishVideo() {
    Video& v = *video;
    if (avcodec_send_frame(v.codec.get(), nullptr) < 0 || !drainVideo()) return false;
    if (!v.pending) return true;
    // The last frame lasts until the session's end (or one nominal frame).
    int64_t duration = av_rescale_q(1, {1, 60}, v.stream->time_base);
    if (sessionEnd) {
      const int64_t end = sessionTicks(*sessionEnd, v.stream->time_base);
      if (end > v.pending->pts) duration = end - v.pending->pts;
    }
    v.pending->duration = std::max<int64_t>(1, duration);
    const bool ok = writePacket(v.pending.get());
    v.pending.reset();
    return ok;
  }

  // ---- audio ----

  bool openAudio(const AudioSettings& s) {
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!encoder) return false;
    auto a = std::make_unique<Audio>();
    a->codec.reset(avcodec_alloc_context3(encoder));
    if (!a->codec) return false;
    AVCodecContext* c = a->codec.get();
    a->rate = static_cast<int>(s.sampleRate);
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->sample_rate = a->rate;
    av_channel_layout_default(&c->ch_layout, s.numberOfChannels);
    c->bit_rate = s.encoderBitRate;
    c->time_base = {1, a->rate};
    if (format->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int r = avcodec_open2(c, encoder, nullptr);
    if (r < 0) {
      error = "cannot open the AAC encoder: " + ff::errorText(r);
      return false;
    }
    a->padding = c->initial_padding;
    a->stream = avformat_new_stream(format.get(), nullptr);
    if (!a->stream || avcodec_parameters_from_context(a->stream->codecpar, c) < 0) return false;
    a->stream->time_base = c->time_base;
    a->frame.reset(av_frame_alloc());
    if (!a->frame) return false;
    a->frame->format = c->sample_fmt;
    a->frame->nb_samples = c->frame_size;
    a->frame->sample_rate = c->sample_rate;
    if (av_channel_layout_copy(&a->frame->ch_layout, &c->ch_layout) < 0) return false;
    if (av_frame_get_buffer(a->frame.get(), 0) < 0) return false;
    audio = std::move(a);
    return true;
  }

  // Output sample index of a session time. Index i is heard at
  // (i + padding) / rate: the encoder's priming comes first in the file.
  int64_t audioIndexAt(int64_t sessionNs) const {
    return av_rescale(sessionNs, audio->rate, kNanos) - audio->padding;
  }

  bool makeResampler(int inRate, int inChannels) {
    Audio& a = *audio;
    AVChannelLayout in{};
    av_channel_layout_default(&in, inChannels);
    SwrContext* raw = nullptr;
    int r = swr_alloc_set_opts2(&raw, &a.codec->ch_layout, AV_SAMPLE_FMT_FLTP, a.rate, &in, AV_SAMPLE_FMT_S16,
                                inRate, 0, nullptr);
    av_channel_layout_uninit(&in);
    ff::Resampler resampler(raw);
    if (r < 0 || (r = swr_init(resampler.get())) < 0) {
      fail("cannot convert the microphone's sound", r);
      return false;
    }
    a.resampler = std::move(resampler);
    a.inRate = inRate;
    a.inChannels = inChannels;
    return true;
  }

  // Runs `input` (or the resampler's tail, when null) into the fifo.
  void resample(const int16_t* input, int frames) {
    Audio& a = *audio;
    if (!a.resampler) return;
    const int room = swr_get_out_samples(a.resampler.get(), frames) + 16;
    const size_t old = a.fifo.size();
    a.fifo.resize(old + static_cast<size_t>(room));
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(a.fifo.data() + old)};
    const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(input)};
    const int got = swr_convert(a.resampler.get(), out, room, input ? in : nullptr, input ? frames : 0);
    a.fifo.resize(old + static_cast<size_t>(std::max(0, got)));
    a.queued += std::max(0, got);
  }

  // Drops what lies past the session's end.
  void trimAudioToEnd() {
    Audio& a = *audio;
    if (!sessionEnd) return;
    const int64_t end = std::max(a.encoded, audioIndexAt(*sessionEnd - *sessionStart));
    if (a.queued <= end) return;
    const int64_t excess = std::min<int64_t>(a.queued - end, static_cast<int64_t>(a.fifo.size()));
    a.fifo.resize(a.fifo.size() - static_cast<size_t>(excess));
    a.queued -= excess;
  }

  bool encodeAudioFrame(int samples) {
    Audio& a = *audio;
    AVFrame* f = a.frame.get();
    if (av_frame_make_writable(f) < 0) return false;
    f->nb_samples = samples;
    std::copy_n(a.fifo.begin(), samples, reinterpret_cast<float*>(f->data[0]));
    a.fifo.erase(a.fifo.begin(), a.fifo.begin() + samples);
    f->pts = a.encoded;
    a.encoded += samples;
    stats.audioSamplesWritten += static_cast<uint64_t>(samples);
    const int r = avcodec_send_frame(a.codec.get(), f);
    f->nb_samples = a.codec->frame_size;
    if (r < 0) {
      fail("the AAC encoder refused a frame", r);
      return false;
    }
    return drainAudio();
  }

  bool drainAudio() {
    Audio& a = *audio;
    return receivePackets(a.codec.get(), "the AAC encoder failed", [&](ff::Packet packet) {
      // The priming packets start at -padding; the file's audio starts at 0.
      packet->pts += a.padding;
      packet->dts += a.padding;
      packet->stream_index = a.stream->index;
      av_packet_rescale_ts(packet.get(), a.codec->time_base, a.stream->time_base);
      return writePacket(packet.get());
    });
  }

  bool appendAudio(const AudioBuffer& b) {
    Audio& a = *audio;
    if (!writing() || a.finished || !sessionStart) return false;
    if (b.sampleRate <= 0 || b.channels <= 0 || b.samples.empty() || b.samples.size() % b.channels) return false;
    if (sessionEnd && b.presentationTimeNs >= *sessionEnd) return false;
    const int64_t frames = static_cast<int64_t>(b.samples.size()) / b.channels;
    int64_t at = b.presentationTimeNs - *sessionStart;
    // A new format, or sound that does not continue where the last block
    // ended: flush the resampler and place the block by its own time.
    const bool formatChanged = b.sampleRate != a.inRate || b.channels != a.inChannels;
    const bool jumped = !formatChanged && a.anchored &&
                        std::llabs(at - (a.anchorNs + av_rescale(a.inputSinceAnchor, kNanos, a.inRate))) >
                            kAudioDiscontinuityNs;
    if (formatChanged || jumped) {
      resample(nullptr, 0);
      if (!makeResampler(b.sampleRate, b.channels)) return false;
      a.anchored = false;
    }
    const int16_t* data = b.samples.data();
    int64_t count = frames;
    if (!a.anchored) {
      const int64_t target = audioIndexAt(at);
      if (target > a.queued) {
        const int64_t silence = target - a.queued;
        a.fifo.insert(a.fifo.end(), static_cast<size_t>(silence), 0.0f);
        a.queued += silence;
        stats.audioSilenceInserted += static_cast<uint64_t>(silence);
      } else if (target < a.queued) {
        // Overlaps what is written already (or precedes the session): skip that part.
        const int64_t skip = av_rescale_rnd(a.queued - target, a.inRate, a.rate, AV_ROUND_UP);
        if (skip >= count) {
          stats.audioSamplesDropped += static_cast<uint64_t>(count);
          return true;
        }
        data += skip * b.channels;
        count -= skip;
        at += av_rescale(skip, kNanos, a.inRate);
        stats.audioSamplesDropped += static_cast<uint64_t>(skip);
      }
      a.anchored = true;
      a.anchorNs = at;
      a.inputSinceAnchor = 0;
    }
    resample(data, static_cast<int>(count));
    a.inputSinceAnchor += count;
    trimAudioToEnd();
    while (static_cast<int>(a.fifo.size()) >= a.codec->frame_size) {
      if (!encodeAudioFrame(a.codec->frame_size)) return false;
    }
    return true;
  }

  bool finishAudio() {
    Audio& a = *audio;
    resample(nullptr, 0);
    trimAudioToEnd();
    while (!a.fifo.empty()) {
      if (!encodeAudioFrame(std::min(static_cast<int>(a.fifo.size()), a.codec->frame_size))) return false;
    }
    if (avcodec_send_frame(a.codec.get(), nullptr) < 0) return false;
    return drainAudio();
  }

  // ---- file ----

  bool startWriting() {
    if (status != WriterStatus::unknown) return false;
    if (!video && !audio) {
      fail("the writer has no inputs");
      return false;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      fail("cannot create " + path + ": " + std::strerror(errno));
      return false;
    }
    close(fd);
    // The file exists with mode 0600; FFmpeg opens it again and keeps the mode.
    int r = avio_open(&format->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE);
    if (r < 0) {
      fail("cannot open " + path, r);
      return false;
    }
    // Each fragment reaches the disk whole, so a killed program leaves a
    // file that is readable up to its last fragment.
    format->flush_packets = 1;
    AVDictionary* raw = nullptr;
    av_dict_set(&raw, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
    av_dict_set_int(&raw, "frag_duration", std::llround(options.keyFrameIntervalSeconds * 1e6), 0);
    r = avformat_write_header(format.get(), &raw);
    std::unique_ptr<AVDictionary, ff::DictionaryDeleter> unused(raw);
    if (r < 0) {
      fail("cannot write the header of " + path, r);
      return false;
    }
    status = WriterStatus::writing;
    return true;
  }

  std::pair<bool, std::string> finish() {
    if (status == WriterStatus::completed) return {true, {}};
    if (status == WriterStatus::unknown) {
      status = WriterStatus::failed;
      error = "writing never started";
    }
    if (status == WriterStatus::writing) {
      bool ok = (!video || finishVideo()) && (!audio || finishAudio());
      if (ok) {
        const int r = av_write_trailer(format.get());
        if (r < 0) fail("cannot complete " + path, r);
      } else {
        fail("cannot complete " + path);
      }
      if (status == WriterStatus::writing) status = WriterStatus::completed;
    }
    if (format->pb) {
      const int r = avio_closep(&format->pb);
      if (r < 0) fail("cannot close " + path, r);
    }
    if (video) video->finished = true;
    if (audio) audio->finished = true;
    return {status == WriterStatus::completed, error};
  }
};

class VideoInput final : public VideoWriterInput {
 public:
  explicit VideoInput(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  bool isReadyForMoreMediaData() const override {
    std::lock_guard lock(core_->mutex);
    return core_->writing() && !core_->video->finished;
  }
  bool append(const PixelBuffer& frame, int64_t presentationTimeNs) override {
    std::lock_guard lock(core_->mutex);
    const bool ok = core_->appendVideo(frame, presentationTimeNs);
    if (!ok) ++core_->stats.videoFramesRefused;
    return ok;
  }
  void markAsFinished() override {
    std::lock_guard lock(core_->mutex);
    core_->video->finished = true;
  }

 private:
  std::shared_ptr<Core> core_;
};

class AudioInput final : public AudioWriterInput {
 public:
  explicit AudioInput(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  bool isReadyForMoreMediaData() const override {
    std::lock_guard lock(core_->mutex);
    return core_->writing() && !core_->audio->finished;
  }
  bool append(const AudioBuffer& buffer) override {
    std::lock_guard lock(core_->mutex);
    return core_->appendAudio(buffer);
  }
  void markAsFinished() override {
    std::lock_guard lock(core_->mutex);
    core_->audio->finished = true;
  }

 private:
  std::shared_ptr<Core> core_;
};

class FfmpegRecordingWriter final : public RecordingWriter {
 public:
  explicit FfmpegRecordingWriter(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  ~FfmpegRecordingWriter() override {
    std::lock_guard lock(finishersMutex_);
    for (std::thread& t : finishers_) {
      if (t.get_id() == std::this_thread::get_id()) t.detach();  // destroyed from its own completion
      else if (t.joinable()) t.join();
    }
  }

  bool canApplyVideoSettings(const VideoSettings& settings) const override {
    return encodedVideoSize(settings).has_value();
  }

  std::shared_ptr<VideoWriterInput> addVideoInput(const VideoSettings& settings) override {
    auto size = encodedVideoSize(settings);
    std::lock_guard lock(core_->mutex);
    if (!size || core_->video || core_->status != WriterStatus::unknown) return nullptr;
    if (!core_->openVideo(size->first, size->second, static_cast<int>(settings.width),
                          static_cast<int>(settings.height))) {
      return nullptr;
    }
    return std::make_shared<VideoInput>(core_);
  }

  std::shared_ptr<AudioWriterInput> addAudioInput(const AudioSettings& settings, bool) override {
    // Every input of ours takes media as it comes, so the real-time flag changes nothing.
    std::lock_guard lock(core_->mutex);
    if (settings.formatID != kAudioFormatMPEG4AAC || settings.numberOfChannels < 1 ||
        settings.numberOfChannels > 2 || !(settings.sampleRate >= 8000 && settings.sampleRate <= 96000) ||
        settings.encoderBitRate <= 0) {
      return nullptr;
    }
    if (core_->audio || core_->status != WriterStatus::unknown || !core_->openAudio(settings)) return nullptr;
    return std::make_shared<AudioInput>(core_);
  }

  bool startWriting() override {
    std::lock_guard lock(core_->mutex);
    return core_->startWriting();
  }

  void startSession(int64_t presentationTimeNs) override {
    std::lock_guard lock(core_->mutex);
    if (core_->writing() && !core_->sessionStart) core_->sessionStart = presentationTimeNs;
  }

  void endSession(int64_t presentationTimeNs) override {
    std::lock_guard lock(core_->mutex);
    if (core_->writing() && core_->sessionStart && !core_->sessionEnd) {
      core_->sessionEnd = std::max(presentationTimeNs, *core_->sessionStart);
    }
  }

  void finishWriting(std::function<void(bool, std::string)> completion) override {
    std::lock_guard lock(finishersMutex_);
    finishers_.emplace_back([core = core_, completion = std::move(completion)] {
      std::pair<bool, std::string> result;
      {
        std::lock_guard lock(core->mutex);
        result = core->finish();
      }
      if (completion) completion(result.first, result.second);
    });
  }

  WriterStatus status() const override {
    std::lock_guard lock(core_->mutex);
    return core_->status;
  }
  std::string error() const override {
    std::lock_guard lock(core_->mutex);
    return core_->error;
  }
  std::string path() const override { return core_->path; }
  WriterStatistics statistics() const override {
    std::lock_guard lock(core_->mutex);
    return core_->stats;
  }

 private:
  std::shared_ptr<Core> core_;
  std::mutex finishersMutex_;
  std::vector<std::thread> finishers_;
};

}  // namespace

std::unique_ptr<RecordingWriter> RecordingWriter::create(const std::string& url, std::string& error,
                                                         const VideoEncoderOptions& options) {
  const std::string path = pathFromUrl(url);
  if (path.empty()) {
    error = "no file name given";
    return nullptr;
  }
  struct stat st{};
  if (stat(path.c_str(), &st) == 0) {
    error = path + " exists already";
    return nullptr;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(dir.c_str(), W_OK | X_OK) != 0) {
    error = "cannot write into " + dir;
    return nullptr;
  }
  // The encoders' statistics and banners would go to standard error on
  // every recording; warnings and errors still do.
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_WARNING);
  });
  auto core = std::make_shared<Core>();
  core->path = path;
  core->options = options;
  AVFormatContext* raw = nullptr;
  const int r = avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str());
  core->format.reset(raw);
  if (r < 0 || !raw) {
    error = "cannot make an MPEG-4 file: " + ff::errorText(r);
    return nullptr;
  }
  return std::make_unique<FfmpegRecordingWriter>(std::move(core));
}

}  // namespace moxi

#include "capture/writer/recording_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
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
#include "capture/writer/recording_writer_core.h"

namespace moxi {

std::optional<std::pair<int, int>> recordedVideoSize(const VideoSettings& settings) {
  if (settings.codec != VideoCodec::h264) return std::nullopt;
  if (!std::isfinite(settings.width) || !std::isfinite(settings.height)) return std::nullopt;
  if (settings.width > 8192 || settings.height > 8192) return std::nullopt;
  const int width = static_cast<int>(settings.width);
  const int height = static_cast<int>(settings.height);
  if (width < 2 || height < 2) return std::nullopt;
  return std::pair{width, height};
}

namespace {

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

}  // namespace

namespace writer_detail {

bool Core::writePacket(AVPacket* packet) {
  const int r = av_write_frame(format.get(), packet);
  if (checkStorage() || r < 0) {
    fail("cannot write to " + path, r < 0 ? r : AVERROR(storageError));
    return false;
  }
  file->markComplete();
  return true;
}

bool Core::checkStorage() {
  if (!storageError && file && (file->failure() || file->checkUnlinked())) storageError = file->failure();
  return storageError != 0;
}

bool Core::startWriting() {
  if (status != WriterStatus::unknown) return false;
  if (!video && !audio) {
    fail("the writer has no inputs");
    return false;
  }
  std::string why;
  file = RecordingFile::create(path, why);
  if (!file) {
    fail(why);
    return false;
  }
  format->pb = file->io();
  format->flags |= AVFMT_FLAG_CUSTOM_IO;
  // Each fragment reaches the disk whole, so a killed program leaves a
  // file that is readable up to its last fragment.
  format->flush_packets = 1;
  AVDictionary* raw = nullptr;
  av_dict_set(&raw, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
  av_dict_set_int(&raw, "frag_duration", std::llround(options.keyFrameIntervalSeconds * 1e6), 0);
  const int r = avformat_write_header(format.get(), &raw);
  std::unique_ptr<AVDictionary, ff::DictionaryDeleter> unused(raw);
  if (r < 0) {
    checkStorage();
    fail("cannot write the header of " + path, r);
    return false;
  }
  avio_flush(format->pb);
  file->markHeaderWritten();
  status = WriterStatus::writing;
  return true;
}

std::pair<bool, std::string> Core::finish() {
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
  if (file) {
    checkStorage();
    const bool kept = file->close();
    format->pb = nullptr;
    // A failed sync or close also loses data.
    if (!storageError) storageError = file->failure();
    if (storageError) {
      fail("cannot write to " + path, AVERROR(storageError));
      error += kept ? "; it is kept up to its last whole second" : "; nothing of it could be kept";
    }
    file.reset();
  }
  if (video) video->finished = true;
  if (audio) audio->finished = true;
  return {status == WriterStatus::completed, error};
}

bool Core::openVideo(int width, int height) {
  const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
  if (!encoder) return false;
  auto v = std::make_unique<Video>();
  v->codec.reset(avcodec_alloc_context3(encoder));
  if (!v->codec) return false;
  AVCodecContext* c = v->codec.get();
  // 4:2:0 H.264 has even sizes only (its cropping counts in pairs too). 4:4:4
  // would hold an odd size, but QuickTime, browsers and hardware decoders do
  // not play it, so an odd picture is grown by one column on the right and
  // one row on the top, copies of its edges: every pixel of the window stays,
  // and positions measured from its left and bottom edges fall on the same
  // pixels of the movie.
  c->width = (width + 1) & ~1;
  c->height = (height + 1) & ~1;
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
  v->frame->width = c->width;
  v->frame->height = c->height;
  v->sourceWidth = width;
  v->sourceHeight = height;
  video = std::move(v);
  return true;
}

int64_t Core::sessionTicks(int64_t ns, AVRational tb) const {
  return av_rescale_q_rnd(ns - *sessionStart, {1, static_cast<int>(kNanos)}, tb, AV_ROUND_NEAR_INF);
}

namespace {
// A frame over the planes of a converted picture, which it holds until the
// encoder lets it go.
ff::Frame frameHolding(const std::shared_ptr<const PixelBuffer>& px) {
  ff::Frame f(av_frame_alloc());
  using Held = std::shared_ptr<const PixelBuffer>;
  auto* holder = new Held(px);
  AVBufferRef* buffer = av_buffer_create(
      px->pixels, px->byteSize(), [](void* opaque, uint8_t*) { delete static_cast<Held*>(opaque); }, holder,
      AV_BUFFER_FLAG_READONLY);
  if (!buffer) delete holder;
  if (!f || !buffer) {
    av_buffer_unref(&buffer);
    return nullptr;
  }
  f->buf[0] = buffer;
  f->format = AV_PIX_FMT_YUV420P;
  f->width = px->evenWidth();
  f->height = px->evenHeight();
  f->data[0] = px->pixels;
  f->data[1] = px->planeU();
  f->data[2] = px->planeV();
  f->linesize[0] = px->stride;
  f->linesize[1] = f->linesize[2] = px->chromaStride();
  return f;
}
}  // namespace

bool Core::appendVideo(const PixelBuffer& px, int64_t ptsNs, const std::shared_ptr<const PixelBuffer>& held) {
  Video& v = *video;
  if (!writing() || v.finished || !sessionStart || !px.pixels || px.width <= 0 || px.height <= 0) return false;
  if (sessionEnd && ptsNs >= *sessionEnd) return false;
  int64_t pts = sessionTicks(ptsNs, kVideoTimeBase);
  if (pts < 0) return false;
  // The first frame written is shown from the session's start.
  if (v.lastPts == AV_NOPTS_VALUE) pts = 0;
  else if (pts <= v.lastPts) return false;

  AVFrame* f = v.frame.get();
  // The frame pictures are copied or converted into; its buffer is made with the first.
  auto writable = [f] { return (f->buf[0] || av_frame_get_buffer(f, 0) >= 0) && av_frame_make_writable(f) >= 0; };
  if (px.format == PixelFormat::i420) {
    // Converted by the capture at the recording's size; nothing else comes.
    if (px.width != v.sourceWidth || px.height != v.sourceHeight || px.evenWidth() != f->width ||
        px.evenHeight() != f->height)
      return false;
    if (held && held.get() == &px) {
      ff::Frame planes = frameHolding(held);
      return planes && encodeVideo(planes.get(), pts);
    }
    if (!writable()) return false;
    libyuv::I420Copy(px.pixels, px.stride, px.planeU(), px.chromaStride(), px.planeV(), px.chromaStride(),
                     f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2], f->linesize[2], f->width,
                     f->height);
    return encodeVideo(f, pts);
  }
  if (!writable()) return false;
  const PixelBuffer* source = &px;
  if (px.width != v.sourceWidth || px.height != v.sourceHeight) {
    if (!v.fitted) v.fitted = PixelBuffer::allocate(v.sourceWidth, v.sourceHeight);
    scaleToFit(px, *v.fitted);
    source = v.fitted.get();
  }
  if (source->width != f->width || source->height != f->height) {
    if (!v.padded) v.padded = PixelBuffer::allocate(f->width, f->height);
    padToEven(*source, *v.padded);
    source = v.padded.get();
  }
  libyuv::ARGBToI420(source->pixels, source->stride, f->data[0], f->linesize[0], f->data[1], f->linesize[1],
                     f->data[2], f->linesize[2], f->width, f->height);
  return encodeVideo(f, pts);
}

bool Core::encodeVideo(AVFrame* f, int64_t pts) {
  Video& v = *video;
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

bool Core::drainVideo() {
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

bool Core::finishVideo() {
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

}  // namespace writer_detail

namespace {

using writer_detail::Core;

class VideoInput final : public VideoWriterInput {
 public:
  explicit VideoInput(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  bool isReadyForMoreMediaData() const override {
    std::lock_guard lock(core_->mutex);
    return core_->writing() && !core_->video->finished;
  }
  bool append(const PixelBuffer& frame, int64_t presentationTimeNs) override {
    return appendVideo(frame, presentationTimeNs, nullptr);
  }
  bool appendKeeping(std::shared_ptr<const PixelBuffer> frame, int64_t presentationTimeNs) override {
    return frame && appendVideo(*frame, presentationTimeNs, frame);
  }
  void markAsFinished() override {
    std::lock_guard lock(core_->mutex);
    core_->video->finished = true;
  }

 private:
  bool appendVideo(const PixelBuffer& frame, int64_t presentationTimeNs,
                   const std::shared_ptr<const PixelBuffer>& held) {
    std::lock_guard lock(core_->mutex);
    const bool ok = core_->appendVideo(frame, presentationTimeNs, held);
    if (!ok) ++core_->stats.videoFramesRefused;
    return ok;
  }

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
    return recordedVideoSize(settings).has_value();
  }

  std::shared_ptr<VideoWriterInput> addVideoInput(const VideoSettings& settings) override {
    auto size = recordedVideoSize(settings);
    std::lock_guard lock(core_->mutex);
    if (!size || core_->video || core_->status != WriterStatus::unknown) return nullptr;
    if (!core_->openVideo(size->first, size->second)) return nullptr;
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

  int storageError() override {
    std::lock_guard lock(core_->mutex);
    if (core_->checkStorage() && core_->writing())
      core_->fail("cannot write to " + core_->path, AVERROR(core_->storageError));
    return core_->storageError;
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
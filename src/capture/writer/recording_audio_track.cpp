// The raw recording's sound track: the microphone's blocks resampled to
// the track's rate, placed by their time stamps and encoded as AAC.
extern "C" {
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cstdlib>

#include "capture/writer/recording_writer_core.h"

namespace moxi::writer_detail {

namespace {
// A jump in the microphone's time stamps beyond this is a real gap or overlap;
// anything smaller is jitter that the sample count smooths away.
constexpr int64_t kAudioDiscontinuityNs = 100'000'000;
}  // namespace

bool Core::openAudio(const AudioSettings& s) {
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
int64_t Core::audioIndexAt(int64_t sessionNs) const {
  return av_rescale(sessionNs, audio->rate, kNanos) - audio->padding;
}

bool Core::makeResampler(int inRate, int inChannels) {
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
void Core::resample(const int16_t* input, int frames) {
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
void Core::trimAudioToEnd() {
  Audio& a = *audio;
  if (!sessionEnd) return;
  const int64_t end = std::max(a.encoded, audioIndexAt(*sessionEnd - *sessionStart));
  if (a.queued <= end) return;
  const int64_t excess = std::min<int64_t>(a.queued - end, static_cast<int64_t>(a.fifo.size()));
  a.fifo.resize(a.fifo.size() - static_cast<size_t>(excess));
  a.queued -= excess;
}

bool Core::encodeAudioFrame(int samples) {
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

bool Core::drainAudio() {
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

bool Core::appendAudio(const AudioBuffer& b) {
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

bool Core::finishAudio() {
  Audio& a = *audio;
  resample(nullptr, 0);
  trimAudioToEnd();
  while (!a.fifo.empty()) {
    if (!encodeAudioFrame(std::min(static_cast<int>(a.fifo.size()), a.codec->frame_size))) return false;
  }
  if (avcodec_send_frame(a.codec.get(), nullptr) < 0) return false;
  return drainAudio();
}

}  // namespace moxi::writer_detail

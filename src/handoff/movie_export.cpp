#include "handoff/movie_export.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "common/ffmpeg.h"

namespace moxi {

namespace {

using Options = std::unique_ptr<AVDictionary, ff::DictionaryDeleter>;

// Sets one entry of an owned dictionary.
int setOption(Options& options, const char* key, const char* value) {
  AVDictionary* d = options.release();
  int err = av_dict_set(&d, key, value, 0);
  options.reset(d);
  return err;
}

// Drops whatever one loop turn left in the packet (writing already takes it).
class PacketTurn {
 public:
  explicit PacketTurn(AVPacket* p) : p_(p) {}
  ~PacketTurn() { av_packet_unref(p_); }
  PacketTurn(const PacketTurn&) = delete;
  PacketTurn& operator=(const PacketTurn&) = delete;

 private:
  AVPacket* p_;
};

ExportResult failure(ExportStatus status, std::string reason) {
  ExportResult r;
  r.status = status;
  r.reason = std::move(reason);
  return r;
}

}  // namespace

ExportResult exportMovie(const std::string& sourcePath, const std::string& outputPath,
                         const std::string& description) {
  // The source: on failure avformat_open_input frees the context itself.
  AVFormatContext* rawInput = nullptr;
  int err = avformat_open_input(&rawInput, sourcePath.c_str(), nullptr, nullptr);
  ff::InputContext input(rawInput);
  if (err < 0) return failure(ExportStatus::noSession, "cannot open " + sourcePath + ": " + ff::errorText(err));
  if ((err = avformat_find_stream_info(input.get(), nullptr)) < 0)
    return failure(ExportStatus::noSession, "cannot read the streams of " + sourcePath + ": " + ff::errorText(err));

  // Written under a name of its own and renamed when complete: a movie under
  // the output's name is never a partial one, even after a crash.
  const std::string partPath = outputPath + ".part";
  AVFormatContext* rawOutput = nullptr;
  err = avformat_alloc_output_context2(&rawOutput, nullptr, "ipod", partPath.c_str());
  ff::OutputContext output(rawOutput);
  if (err < 0 || !output) return failure(ExportStatus::failed, "cannot create an M4V muxer: " + ff::errorText(err));

  // Audio and video are copied; other streams (data, subtitles) are left out.
  std::vector<int> streamMap(input->nb_streams, -1);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* in = input->streams[i];
    AVMediaType type = in->codecpar->codec_type;
    if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) continue;
    if (avformat_query_codec(output->oformat, in->codecpar->codec_id, FF_COMPLIANCE_NORMAL) != 1)
      return failure(ExportStatus::failed, std::string("an M4V movie cannot hold ") +
                                               avcodec_get_name(in->codecpar->codec_id) + " (stream " +
                                               std::to_string(i) + ")");
    AVStream* out = avformat_new_stream(output.get(), nullptr);
    if (!out) return failure(ExportStatus::failed, "out of memory");
    if ((err = avcodec_parameters_copy(out->codecpar, in->codecpar)) < 0)
      return failure(ExportStatus::failed, "cannot copy stream parameters: " + ff::errorText(err));
    out->codecpar->codec_tag = 0;  // let the muxer pick the tag M4V wants
    out->time_base = in->time_base;
    out->sample_aspect_ratio = in->sample_aspect_ratio;
    out->avg_frame_rate = in->avg_frame_rate;
    out->disposition = in->disposition;
    streamMap[i] = out->index;
  }
  if (output->nb_streams == 0)
    return failure(ExportStatus::noSession, sourcePath + " has no audio or video stream");

  // Description first, then title.
  Options metadata;
  if (setOption(metadata, "description", description.c_str()) < 0 ||
      setOption(metadata, "title", std::string(kMovieTitle).c_str()) < 0)
    return failure(ExportStatus::failed, "out of memory");
  output->metadata = metadata.release();  // the output context frees it

  // The movie is the user's alone: create it 0600 before FFmpeg opens it.
  if (int fd = ::open(partPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600); fd >= 0) ::close(fd);
  if ((err = avio_open(&output->pb, partPath.c_str(), AVIO_FLAG_WRITE)) < 0) {
    std::remove(partPath.c_str());
    return failure(ExportStatus::failed, "cannot create " + outputPath + ": " + ff::errorText(err));
  }

  ExportResult result;
  // From here on a failure leaves a partial file, which must go.
  auto fail = [&](std::string reason) {
    output.reset();
    std::remove(partPath.c_str());
    result.status = ExportStatus::failed;
    result.reason = std::move(reason);
    return result;
  };

  Options muxerOptions;
  setOption(muxerOptions, "movflags", "+faststart");  // movie header before the media data
  {
    AVDictionary* d = muxerOptions.release();
    err = avformat_write_header(output.get(), &d);
    muxerOptions.reset(d);
  }
  if (err < 0) return fail("cannot start " + outputPath + ": " + ff::errorText(err));

  ff::Packet packet(av_packet_alloc());
  if (!packet) return fail("out of memory");
  // The demuxer cannot tell how long a track's last frame lasts (a fragmented
  // recording keeps that only in the track's length) and guesses one frame:
  // a window that stood still at the end would lose its still picture. So
  // each track's latest packet is held until the next one comes, and the
  // last one is given what remains of its track.
  std::vector<ff::Packet> held(output->nb_streams);
  auto writeHeld = [&](int target) {
    int r = av_interleaved_write_frame(output.get(), held[static_cast<size_t>(target)].get());
    held[static_cast<size_t>(target)].reset();
    return r;
  };
  for (;;) {
    PacketTurn turn(packet.get());
    err = av_read_frame(input.get(), packet.get());
    if (err == AVERROR_EOF) break;
    if (err < 0) {
      // A recording killed mid-write ends in a damaged fragment: keep what
      // came before it.
      result.sourceTruncated = true;
      break;
    }
    if (packet->flags & AV_PKT_FLAG_CORRUPT) {
      // A short read at the end of the file: the packet's data is cut off.
      result.sourceTruncated = true;
      break;
    }
    int target = streamMap[static_cast<size_t>(packet->stream_index)];
    if (target < 0) continue;
    const AVStream* in = input->streams[packet->stream_index];
    const AVStream* out = output->streams[target];
    av_packet_rescale_ts(packet.get(), in->time_base, out->time_base);
    packet->stream_index = target;
    packet->pos = -1;
    if (held[static_cast<size_t>(target)] && (err = writeHeld(target)) < 0)
      return fail("cannot write to " + outputPath + ": " + ff::errorText(err));
    ff::Packet next(av_packet_alloc());
    if (!next) return fail("out of memory");
    av_packet_move_ref(next.get(), packet.get());
    held[static_cast<size_t>(target)] = std::move(next);
    ++result.packets;
  }
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const int target = streamMap[i];
    if (target < 0 || !held[static_cast<size_t>(target)]) continue;
    AVPacket* last = held[static_cast<size_t>(target)].get();
    const AVStream* in = input->streams[i];
    // A cut-off source's track length may promise more than it holds.
    if (!result.sourceTruncated && in->duration != AV_NOPTS_VALUE && last->pts != AV_NOPTS_VALUE) {
      const int64_t start = in->start_time != AV_NOPTS_VALUE ? in->start_time : 0;
      const int64_t end = av_rescale_q(start + in->duration, in->time_base, output->streams[target]->time_base);
      if (end > last->pts) last->duration = end - last->pts;
    }
    if ((err = writeHeld(target)) < 0) return fail("cannot write to " + outputPath + ": " + ff::errorText(err));
  }
  if (result.packets == 0) return fail(sourcePath + " holds no readable packet");
  if ((err = av_write_trailer(output.get())) < 0)
    return fail("cannot finish " + outputPath + ": " + ff::errorText(err));
  if ((err = avio_closep(&output->pb)) < 0)
    return fail("cannot close " + outputPath + ": " + ff::errorText(err));
  if (std::rename(partPath.c_str(), outputPath.c_str()) != 0) return fail("cannot name " + outputPath);
  result.status = ExportStatus::exported;
  return result;
}

}  // namespace moxi

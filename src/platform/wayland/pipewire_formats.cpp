#include "platform/wayland/pipewire_formats.h"

#include <libyuv.h>
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/format-utils.h>
#include <spa/param/param.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/parser.h>

namespace moxi {

namespace {
constexpr int cursorMetaSize(int w, int h) {
  return static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + w * h * 4;
}
}  // namespace

bool isRedFirst(spa_video_format format) {
  return format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
}

bool isCopyable(spa_video_format format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      return true;
    default:
      return false;
  }
}

const spa_pod* buildFormatOffer(spa_pod_builder& b) {
  const spa_rectangle defSize{1280, 720}, minSize{1, 1}, maxSize{16384, 16384};
  const spa_fraction defRate{60, 1}, minRate{0, 1}, maxRate{1000, 1};
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
      SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate)));
}

std::optional<VideoFormat> parseFormat(const spa_pod* param) {
  if (!param) return std::nullopt;
  uint32_t mediaType = 0, mediaSubtype = 0;
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0) return std::nullopt;
  if (mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) return std::nullopt;
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(param, &info) < 0) return std::nullopt;
  // A modifier means DMA-BUF, which this stream cannot read without a GPU.
  if (info.flags & SPA_VIDEO_FLAG_MODIFIER) return std::nullopt;
  if (!isCopyable(info.format) || info.size.width == 0 || info.size.height == 0) return std::nullopt;
  return VideoFormat{info.format, static_cast<int>(info.size.width), static_cast<int>(info.size.height)};
}

std::vector<const spa_pod*> buildBufferParams(spa_pod_builder& b) {
  std::vector<const spa_pod*> params;
  const int memory = (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd);
  params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
      SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 16),
      SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(memory))));
  params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header)))));
  params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region)))));
  params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kDamageRegions, sizeof(spa_meta_region),
                               sizeof(spa_meta_region) * kDamageRegions))));
  params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64, 64), cursorMetaSize(1, 1),
                               cursorMetaSize(kMaxCursorSide, kMaxCursorSide)))));
  return params;
}

void copyToBGRA(const uint8_t* src, int stride, spa_video_format format, PixelRect rect, PixelBuffer& dst) {
  const uint8_t* from = src + static_cast<size_t>(rect.y) * stride + static_cast<size_t>(rect.x) * 4;
  if (isRedFirst(format)) {
    // R,G,B,A in memory is libyuv's ABGR; B,G,R,A is its ARGB.
    libyuv::ABGRToARGB(from, stride, dst.pixels, dst.stride, rect.width, rect.height);
  } else {
    libyuv::ARGBCopy(from, stride, dst.pixels, dst.stride, rect.width, rect.height);
  }
}

}  // namespace moxi

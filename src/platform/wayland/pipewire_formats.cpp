#include "platform/wayland/pipewire_formats.h"

#include <libyuv.h>
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/debug/types.h>
#include <spa/param/buffers.h>
#include <spa/param/format-utils.h>
#include <spa/param/param.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>
#include <spa/pod/parser.h>

#include <cstring>

namespace moxi {

namespace {
constexpr int cursorMetaSize(int w, int h) {
  return static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + w * h * 4;
}

// 10:10:10:2 words (x or alpha in the low two bits) into BGRA; libyuv reads
// only the 2:10:10:10 ones. `redHigh`: red in the top ten bits.
void copy102ToBGRA(const uint8_t* src, int stride, bool redHigh, bool hasAlpha, int width, int height,
                   PixelBuffer& dst) {
  for (int y = 0; y < height; ++y) {
    const uint8_t* in = src + static_cast<size_t>(y) * stride;
    uint8_t* out = dst.pixels + static_cast<size_t>(y) * dst.stride;
    for (int x = 0; x < width; ++x, in += 4, out += 4) {
      uint32_t v;
      std::memcpy(&v, in, 4);
      const auto high = static_cast<uint8_t>(v >> 24), low = static_cast<uint8_t>(v >> 4);
      out[0] = redHigh ? low : high;
      out[1] = static_cast<uint8_t>(v >> 14);
      out[2] = redHigh ? high : low;
      out[3] = hasAlpha ? static_cast<uint8_t>((v & 3) * 0x55) : 0xff;
    }
  }
}
}  // namespace

bool isCopyable(spa_video_format format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
    case SPA_VIDEO_FORMAT_xRGB_210LE:
    case SPA_VIDEO_FORMAT_xBGR_210LE:
    case SPA_VIDEO_FORMAT_RGBx_102LE:
    case SPA_VIDEO_FORMAT_BGRx_102LE:
    case SPA_VIDEO_FORMAT_ARGB_210LE:
    case SPA_VIDEO_FORMAT_ABGR_210LE:
    case SPA_VIDEO_FORMAT_RGBA_102LE:
    case SPA_VIDEO_FORMAT_BGRA_102LE:
      return true;
    default:
      return false;
  }
}

AlphaBits alphaBits(spa_video_format format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRA:
    case SPA_VIDEO_FORMAT_RGBA:
      return {24, 0xff};
    case SPA_VIDEO_FORMAT_ARGB_210LE:
    case SPA_VIDEO_FORMAT_ABGR_210LE:
      return {30, 3};
    case SPA_VIDEO_FORMAT_RGBA_102LE:
    case SPA_VIDEO_FORMAT_BGRA_102LE:
      return {0, 3};
    default:
      return {};
  }
}

std::string unsupportedFormatReason(spa_video_format format) {
  const char* name = spa_debug_type_find_short_name(spa_type_video_format, format);
  return std::string("the desktop sends a colour format that Moxiscope does not support (") +
         (name ? name : "number " + std::to_string(format)) + ")";
}

std::vector<const spa_pod*> buildFormatOffers(spa_pod_builder& b) {
  const spa_rectangle defSize{1280, 720}, minSize{1, 1}, maxSize{16384, 16384};
  const spa_fraction defRate{60, 1}, minRate{0, 1}, maxRate{1000, 1};
  std::vector<const spa_pod*> offers;
  offers.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
      SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(13, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_xRGB_210LE,
                             SPA_VIDEO_FORMAT_xBGR_210LE, SPA_VIDEO_FORMAT_RGBx_102LE, SPA_VIDEO_FORMAT_BGRx_102LE,
                             SPA_VIDEO_FORMAT_ARGB_210LE, SPA_VIDEO_FORMAT_ABGR_210LE, SPA_VIDEO_FORMAT_RGBA_102LE,
                             SPA_VIDEO_FORMAT_BGRA_102LE),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate))));
  offers.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
      SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw))));
  return offers;
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
  if (info.size.width == 0 || info.size.height == 0) return std::nullopt;
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
  params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoTransform),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_videotransform)))));
  return params;
}

void copyToBGRA(const uint8_t* src, int stride, spa_video_format format, PixelRect rect, PixelBuffer& dst) {
  const uint8_t* from = src + static_cast<size_t>(rect.y) * stride + static_cast<size_t>(rect.x) * 4;
  const int w = rect.width, h = rect.height;
  switch (format) {
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      // R,G,B,A in memory is libyuv's ABGR; B,G,R,A is its ARGB.
      libyuv::ABGRToARGB(from, stride, dst.pixels, dst.stride, w, h);
      break;
    case SPA_VIDEO_FORMAT_xRGB_210LE:
    case SPA_VIDEO_FORMAT_ARGB_210LE:
      libyuv::AR30ToARGB(from, stride, dst.pixels, dst.stride, w, h);
      break;
    case SPA_VIDEO_FORMAT_xBGR_210LE:
    case SPA_VIDEO_FORMAT_ABGR_210LE:
      libyuv::AB30ToARGB(from, stride, dst.pixels, dst.stride, w, h);
      break;
    case SPA_VIDEO_FORMAT_RGBx_102LE:
    case SPA_VIDEO_FORMAT_RGBA_102LE:
      copy102ToBGRA(from, stride, true, format == SPA_VIDEO_FORMAT_RGBA_102LE, w, h, dst);
      break;
    case SPA_VIDEO_FORMAT_BGRx_102LE:
    case SPA_VIDEO_FORMAT_BGRA_102LE:
      copy102ToBGRA(from, stride, false, format == SPA_VIDEO_FORMAT_BGRA_102LE, w, h, dst);
      break;
    default:
      libyuv::ARGBCopy(from, stride, dst.pixels, dst.stride, w, h);
      break;
  }
}

}  // namespace moxi

#include "harness/pipewire_producer.h"

#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <time.h>

#include <atomic>
#include <cstring>
#include <map>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/pipewire.h"

namespace moxi::test {

namespace {

int64_t monotonicNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

constexpr int cursorMetaSize(int side) {
  return static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + side * side * 4;
}

// Writes 0xAARRGGBB as the format's four bytes.
void putPixel(uint8_t* p, spa_video_format format, uint32_t argb) {
  const uint8_t a = argb >> 24, r = argb >> 16, g = argb >> 8, b = argb;
  if (format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA) {
    p[0] = r, p[1] = g, p[2] = b, p[3] = a;
  } else {
    p[0] = b, p[1] = g, p[2] = r, p[3] = a;
  }
}

}  // namespace

struct PipeWireProducer::Impl {
  spa_video_format format;
  std::atomic<int> width{0}, height{0};
  pipewire::ThreadLoop loop;
  pipewire::Context context;
  pipewire::Core core;
  pipewire::Stream stream;
  pipewire::Hook streamHook;
  std::atomic<bool> isStreaming{false};
  std::atomic<uint32_t> node{SPA_ID_INVALID};
  std::atomic<int> negotiatedWidth{0}, negotiatedHeight{0};
  // Loop lock held.
  uint64_t seq = 0;
  // What each buffer's pixels hold already, so that a repeated frame costs nothing.
  std::map<void*, std::tuple<uint32_t, int, int, int, int, int, int>> filled;

  const spa_pod* enumFormat(spa_pod_builder& b) const {
    const spa_rectangle size{static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
    const spa_fraction rate{0, 1};
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(format),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
  }

  void onFormat(const spa_pod* param) {
    if (!param) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    negotiatedWidth = static_cast<int>(info.size.width);
    negotiatedHeight = static_cast<int>(info.size.height);
    const int stride = static_cast<int>(info.size.width) * 4;
    const int size = stride * static_cast<int>(info.size.height);
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    std::vector<const spa_pod*> params;
    params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(size), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd))));
    auto meta = [&](uint32_t type, int size) {
      params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
          &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(type), SPA_PARAM_META_size,
          SPA_POD_Int(size))));
    };
    meta(SPA_META_Header, sizeof(spa_meta_header));
    meta(SPA_META_VideoCrop, sizeof(spa_meta_region));
    params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
        SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * 16, sizeof(spa_meta_region),
                                 sizeof(spa_meta_region) * 16))));
    params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
        SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64), cursorMetaSize(1), cursorMetaSize(256)))));
    pw_stream_update_params(stream.get(), params.data(), static_cast<uint32_t>(params.size()));
    filled.clear();
  }

  void fill(spa_buffer* buf, const ProducedFrame& f) {
    const int width = negotiatedWidth, height = negotiatedHeight;
    spa_data& d = buf->datas[0];
    const int stride = width * 4;
    if (static_cast<int64_t>(d.maxsize) < int64_t{stride} * height) return;
    spa_region crop = f.crop.value_or(spa_region{{0, 0}, {static_cast<uint32_t>(width), static_cast<uint32_t>(height)}});
    const auto key = std::make_tuple(f.colour, crop.position.x, crop.position.y, static_cast<int>(crop.size.width),
                                     static_cast<int>(crop.size.height), width, height);
    auto it = filled.find(d.data);
    if (it == filled.end() || it->second != key) {
      for (int y = 0; y < height; ++y) {
        auto* row = static_cast<uint8_t*>(d.data) + static_cast<size_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
          const bool inside = x >= crop.position.x && y >= crop.position.y &&
                              x < crop.position.x + static_cast<int>(crop.size.width) &&
                              y < crop.position.y + static_cast<int>(crop.size.height);
          putPixel(row + x * 4, format, inside ? f.colour : 0xff808080);
        }
      }
      filled[d.data] = key;
    }
    d.chunk->offset = 0;
    d.chunk->stride = stride;
    d.chunk->size = f.pixels ? static_cast<uint32_t>(stride * height) : 0;
    d.chunk->flags = 0;
  }

  void writeMetas(spa_buffer* buf, const ProducedFrame& f) {
    const int width = negotiatedWidth, height = negotiatedHeight;
    if (auto* h = static_cast<spa_meta_header*>(spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)))) {
      h->flags = f.corrupted ? SPA_META_HEADER_FLAG_CORRUPTED : 0;
      h->offset = 0;
      h->pts = f.pts.value_or(monotonicNow());
      h->dts_offset = 0;
      h->seq = seq++;
    }
    if (spa_meta* m = spa_buffer_find_meta(buf, SPA_META_VideoDamage)) {
      std::memset(m->data, 0, m->size);  // a zero-sized first region: nothing changed
      if (f.damaged) {
        auto* r = static_cast<spa_meta_region*>(m->data);
        r->region = {{0, 0}, {static_cast<uint32_t>(width), static_cast<uint32_t>(height)}};
      }
    }
    if (auto* c = static_cast<spa_meta_region*>(spa_buffer_find_meta_data(buf, SPA_META_VideoCrop, sizeof(spa_meta_region))))
      c->region = f.crop.value_or(spa_region{});
    if (spa_meta* m = spa_buffer_find_meta(buf, SPA_META_Cursor)) {
      auto* c = static_cast<spa_meta_cursor*>(m->data);
      std::memset(c, 0, sizeof *c);
      if (f.cursor && m->size >= static_cast<uint32_t>(cursorMetaSize(f.cursor->size))) {
        const ProducedCursor& pc = *f.cursor;
        c->id = 1;
        c->position = {pc.x, pc.y};
        c->hotspot = {pc.hotX, pc.hotY};
        c->bitmap_offset = sizeof(spa_meta_cursor);
        auto* bitmap = SPA_PTROFF(c, c->bitmap_offset, spa_meta_bitmap);
        bitmap->format = SPA_VIDEO_FORMAT_RGBA;  // as compositors send it
        bitmap->size = {static_cast<uint32_t>(pc.size), static_cast<uint32_t>(pc.size)};
        bitmap->stride = pc.size * 4;
        bitmap->offset = sizeof(spa_meta_bitmap);
        auto* pixels = SPA_PTROFF(bitmap, bitmap->offset, uint8_t);
        for (int i = 0; i < pc.size * pc.size; ++i) putPixel(pixels + i * 4, SPA_VIDEO_FORMAT_RGBA, pc.colour);
      }
    }
  }

  // Fills a free buffer with `f` and queues it; the trigger that follows
  // sends it through the graph in the same cycle.
  bool produce(const ProducedFrame& f) {
    pw_buffer* b = pw_stream_dequeue_buffer(stream.get());
    if (!b) return false;
    fill(b->buffer, f);
    writeMetas(b->buffer, f);
    pw_stream_queue_buffer(stream.get(), b);
    return true;
  }
};

namespace {

using Impl = PipeWireProducer::Impl;

const pw_stream_events kEvents = [] {
  pw_stream_events e{};
  e.version = PW_VERSION_STREAM_EVENTS;
  e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* impl = static_cast<Impl*>(data);
    if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING)
      impl->node = pw_stream_get_node_id(impl->stream.get());
    impl->isStreaming = state == PW_STREAM_STATE_STREAMING;
    pw_thread_loop_signal(impl->loop.get(), false);
  };
  e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
    if (id == SPA_PARAM_Format) static_cast<Impl*>(data)->onFormat(param);
  };
  return e;
}();

}  // namespace

PipeWireProducer::PipeWireProducer(spa_video_format format, int width, int height, int fd)
    : impl_(std::make_unique<Impl>()) {
  impl_->format = format;
  impl_->width = width;
  impl_->height = height;
  pipewire::ensureInitialised();
  impl_->loop.reset(pw_thread_loop_new("test-producer", nullptr));
  impl_->context.reset(pw_context_new(pw_thread_loop_get_loop(impl_->loop.get()), nullptr, 0));
  if (!impl_->context || pw_thread_loop_start(impl_->loop.get()) < 0)
    throw std::runtime_error("test producer: no PipeWire loop");
  pipewire::ThreadLoopLock lock(impl_->loop.get());
  impl_->core.reset(fd >= 0 ? pw_context_connect_fd(impl_->context.get(), fd, nullptr, 0)
                            : pw_context_connect(impl_->context.get(), nullptr, 0));
  if (!impl_->core) throw std::runtime_error("test producer: cannot connect to PipeWire");
  impl_->stream.reset(pw_stream_new(impl_->core.get(), "moxi-test-producer",
                                    pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME,
                                                      "moxi-test-producer", nullptr)));
  pw_stream_add_listener(impl_->stream.get(), impl_->streamHook.get(), &kEvents, impl_.get());
  uint8_t buffer[512];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[] = {impl_->enumFormat(b)};
  pw_stream_connect(impl_->stream.get(), PW_DIRECTION_OUTPUT, PW_ID_ANY,
                    static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
  for (int i = 0; i < 50 && impl_->node == SPA_ID_INVALID; ++i) pw_thread_loop_timed_wait(impl_->loop.get(), 1);
  if (impl_->node == SPA_ID_INVALID) throw std::runtime_error("test producer: the node did not appear");
}

PipeWireProducer::~PipeWireProducer() {
  if (!impl_->loop) return;
  {
    pipewire::ThreadLoopLock lock(impl_->loop.get());
    if (impl_->stream) impl_->streamHook.reset();
    impl_->stream.reset();
    impl_->core.reset();
  }
  pw_thread_loop_stop(impl_->loop.get());
  impl_->context.reset();
  impl_->loop.reset();
}

uint32_t PipeWireProducer::nodeID() const { return impl_->node; }
bool PipeWireProducer::streaming() const {
  return impl_->isStreaming && impl_->negotiatedWidth == impl_->width && impl_->negotiatedHeight == impl_->height;
}

bool PipeWireProducer::waitStreaming(std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!streaming() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return streaming();
}

bool PipeWireProducer::send(const ProducedFrame& frame) {
  pipewire::ThreadLoopLock lock(impl_->loop.get());
  if (!impl_->stream || !streaming() || !impl_->produce(frame)) return false;
  pw_stream_trigger_process(impl_->stream.get());
  return true;
}

void PipeWireProducer::resize(int width, int height) {
  pipewire::ThreadLoopLock lock(impl_->loop.get());
  impl_->width = width;
  impl_->height = height;
  uint8_t buffer[512];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[] = {impl_->enumFormat(b)};
  pw_stream_update_params(impl_->stream.get(), params, 1);
}

void PipeWireProducer::goAway() {
  pipewire::ThreadLoopLock lock(impl_->loop.get());
  if (impl_->stream) impl_->streamHook.reset();
  impl_->stream.reset();
  impl_->isStreaming = false;
}

}  // namespace moxi::test

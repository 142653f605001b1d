#include "platform/wayland/pipewire_capture_stream.h"

#include <libyuv.h>
#include <spa/buffer/meta.h>
#include <spa/param/param.h>
#include <spa/utils/result.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/pixel_ops.h"
#include "common/clock.h"
#include "common/log.h"
#include "common/serial_queue.h"
#include "platform/wayland/pipewire.h"
#include "platform/wayland/pipewire_buffers.h"
#include "platform/wayland/pipewire_cursor.h"
#include "platform/wayland/pipewire_formats.h"

namespace moxi {

namespace {

// Lets the buffer pool's release callback, which may run on any thread and
// after the stream is gone, wake the PipeWire thread while it exists.
struct Waker {
  std::mutex mutex;
  pw_loop* loop = nullptr;
  spa_source* event = nullptr;
  void signal() {
    std::lock_guard lock(mutex);
    if (loop && event) pw_loop_signal_event(loop, event);
  }
  void detach() {
    std::lock_guard lock(mutex);
    loop = nullptr;
    event = nullptr;
  }
};

}  // namespace

struct PipeWireCaptureStream::Impl {
  const uint32_t nodeID;
  const int maxQueueDepth;
  CursorHandler cursorHandler;
  std::string unavailable;

  pipewire::ThreadLoop loop;
  pipewire::Context context;
  pipewire::Core core;
  pipewire::Proxy registry;
  pipewire::Stream stream;
  pipewire::Hook coreHook, registryHook, streamHook;
  pipewire::LoopSource wakeEvent, paceTimer;
  std::shared_ptr<Waker> waker = std::make_shared<Waker>();

  std::mutex mutex;  // guards the fields up to `endedReason`
  StreamConfiguration config;
  bool configChanged = false;
  std::shared_ptr<const StreamOutputHandler> handler;
  SerialQueue* queue = nullptr;
  bool started = false;
  std::optional<Size> sourceSize;
  EndedHandler endedHandler;
  std::optional<std::string> endedReason;  // the stream ended and the handler has yet to hear it
  std::thread endedThread;

  std::atomic<bool> stopped{false};
  std::atomic<bool> ended{false};
  std::atomic<bool> shutDown{false};
  // Cleared when the stream has stopped: queued frames no longer reach the handler.
  std::shared_ptr<std::atomic<bool>> delivering = std::make_shared<std::atomic<bool>>(true);
  std::atomic<uint64_t> delivered{0}, droppedBehind{0}, unchanged{0}, unusable{0}, received{0}, formatChanges{0};

  // PipeWire thread only (its loop lock held).
  int syncSeq = -1;
  bool syncDone = false;
  bool nodeSeen = false;
  std::string connectError;
  bool wasStreaming = false;
  StreamConfiguration active;
  std::optional<VideoFormat> format;
  bool wantFullFrame = true;  // the first buffer of a format carries the whole image
  PixelRect crop;             // of the last copied buffer, in buffer pixels
  std::shared_ptr<PixelBuffer> staging;  // the newest content, cropped, BGRA
  int64_t contentTime = 0;
  bool contentPending = false;
  bool cursorPending = false;
  CursorTracker cursor;
  StreamCursor reportedCursor;
  int lockedWidth = 0, lockedHeight = 0;  // output size when the configuration leaves it to the source
  double tokens = 1.0;
  int64_t tokenTime = 0;
  int64_t lastTime = 0;
  PixelBufferPool pool;

  Impl(PipeWireSource source, StreamConfiguration c, CursorHandler cursorCallback)
      : nodeID(source.nodeID),
        maxQueueDepth(std::max(1, c.queueDepth)),
        cursorHandler(std::move(cursorCallback)),
        config(c),
        active(c),
        pool(maxQueueDepth + 1) {
    pool.setReleaseCallback([w = waker] { w->signal(); });
    unavailable = connect(source.fd);
  }

  std::string connect(int fd);
  void shutdown();
  void stop();
  void endWith(const std::string& reason);
  void createStream();

  void onFormat(const spa_pod* param);
  void onProcess();
  void handleBuffer(pw_buffer* b);
  bool copyContent(const spa_buffer* buf);
  void reportCursor();
  void onWake();
  void tryDeliver();
  bool render(int64_t time);
  void armTimer(int64_t ns);
};

namespace {

using Impl = PipeWireCaptureStream::Impl;

void onCoreDone(void* data, uint32_t id, int seq) {
  auto* impl = static_cast<Impl*>(data);
  if (id == PW_ID_CORE && seq == impl->syncSeq) {
    impl->syncDone = true;
    pw_thread_loop_signal(impl->loop.get(), false);
  }
}

void onCoreError(void* data, uint32_t id, int, int res, const char* message) {
  auto* impl = static_cast<Impl*>(data);
  if (id != PW_ID_CORE) return;  // errors of the stream's own objects come as its state
  const std::string what = message ? message : spa_strerror(res);
  if (!impl->syncDone) {
    // Still connecting: the constructor reports it.
    impl->connectError = what;
    pw_thread_loop_signal(impl->loop.get(), false);
    return;
  }
  if (res == -EPIPE) impl->endWith("the desktop ended the screen cast");
  else impl->endWith("lost the connection to PipeWire: " + what);
}

const pw_core_events kCoreEvents = [] {
  pw_core_events e{};
  e.version = PW_VERSION_CORE_EVENTS;
  e.done = onCoreDone;
  e.error = onCoreError;
  return e;
}();

void onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict*) {
  auto* impl = static_cast<Impl*>(data);
  if (id == impl->nodeID && type && std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) impl->nodeSeen = true;
}

void onGlobalRemove(void* data, uint32_t id) {
  auto* impl = static_cast<Impl*>(data);
  if (id == impl->nodeID && impl->nodeSeen) impl->endWith("the shared window was closed");
}

const pw_registry_events kRegistryEvents = [] {
  pw_registry_events e{};
  e.version = PW_VERSION_REGISTRY_EVENTS;
  e.global = onGlobal;
  e.global_remove = onGlobalRemove;
  return e;
}();

void onStreamState(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto* impl = static_cast<Impl*>(data);
  if (impl->stopped) return;
  if (state == PW_STREAM_STATE_ERROR) {
    const std::string what = error ? error : "stream error";
    // Failing before any format was agreed means the offers did not meet (DMA-BUF only, say).
    impl->endWith(impl->format || impl->wasStreaming ? "lost the connection to PipeWire: " + what
                                                     : "the screen cast offers no video format this program reads (" +
                                                           what + ")");
  } else if (state == PW_STREAM_STATE_STREAMING) {
    impl->wasStreaming = true;
  } else if (state == PW_STREAM_STATE_UNCONNECTED && impl->wasStreaming) {
    impl->endWith("the desktop ended the screen cast");
  }
}

void onStreamParam(void* data, uint32_t id, const spa_pod* param) {
  if (id == SPA_PARAM_Format) static_cast<Impl*>(data)->onFormat(param);
}

void onStreamProcess(void* data) { static_cast<Impl*>(data)->onProcess(); }

const pw_stream_events kStreamEvents = [] {
  pw_stream_events e{};
  e.version = PW_VERSION_STREAM_EVENTS;
  e.state_changed = onStreamState;
  e.param_changed = onStreamParam;
  e.process = onStreamProcess;
  return e;
}();

void onWakeEvent(void* data, uint64_t) { static_cast<Impl*>(data)->onWake(); }
void onPaceTimer(void* data, uint64_t) { static_cast<Impl*>(data)->tryDeliver(); }

}  // namespace

std::string Impl::connect(int fd) {
  pipewire::ensureInitialised();
  loop.reset(pw_thread_loop_new("moxi-pipewire", nullptr));
  if (!loop) {
    if (fd >= 0) close(fd);
    return "cannot create PipeWire's loop";
  }
  pw_loop* l = pw_thread_loop_get_loop(loop.get());
  context.reset(pw_context_new(l, nullptr, 0));
  if (!context) {
    if (fd >= 0) close(fd);
    return "cannot create a PipeWire context";
  }
  if (pw_thread_loop_start(loop.get()) < 0) {
    if (fd >= 0) close(fd);
    return "cannot start PipeWire's thread";
  }
  pipewire::ThreadLoopLock lock(loop.get());
  // From here PipeWire owns the fd, also when the connection fails.
  core.reset(fd >= 0 ? pw_context_connect_fd(context.get(), fd, nullptr, 0) : pw_context_connect(context.get(), nullptr, 0));
  if (!core) return std::string("cannot connect to PipeWire: ") + std::strerror(errno);
  pw_core_add_listener(core.get(), coreHook.get(), &kCoreEvents, this);
  registry = pipewire::registryOf(core.get());
  if (!registry) return "cannot list PipeWire's objects";
  pw_registry_add_listener(reinterpret_cast<pw_registry*>(registry.get()), registryHook.get(), &kRegistryEvents, this);
  wakeEvent = pipewire::LoopSource(l, pw_loop_add_event(l, onWakeEvent, this));
  paceTimer = pipewire::LoopSource(l, pw_loop_add_timer(l, onPaceTimer, this));
  if (!wakeEvent || !paceTimer) return "cannot create PipeWire loop sources";
  {
    std::lock_guard w(waker->mutex);
    waker->loop = l;
    waker->event = wakeEvent.get();
  }
  // One round trip: the registry has listed every node by the time it answers.
  syncSeq = pw_core_sync(core.get(), PW_ID_CORE, 0);
  timespec deadline{};
  pw_thread_loop_get_time(loop.get(), &deadline, 5 * SPA_NSEC_PER_SEC);
  while (!syncDone && connectError.empty()) {
    if (pw_thread_loop_timed_wait_full(loop.get(), &deadline) != 0) break;
  }
  if (!connectError.empty()) return "cannot connect to PipeWire: " + connectError;
  if (!syncDone) return "PipeWire did not answer";
  if (!nodeSeen) return "PipeWire has no node " + std::to_string(nodeID) + " (the shared window is gone)";
  return {};
}

void Impl::createStream() {
  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                           PW_KEY_MEDIA_ROLE, "Screen", PW_KEY_NODE_NAME, "moxiscope-capture",
                                           PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
  stream.reset(pw_stream_new(core.get(), "moxiscope-capture", props));
  if (!stream) return endWith(std::string("lost the connection to PipeWire: ") + std::strerror(errno));
  pw_stream_add_listener(stream.get(), streamHook.get(), &kStreamEvents, this);
  uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[] = {buildFormatOffer(b)};
  const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
  if (int res = pw_stream_connect(stream.get(), PW_DIRECTION_INPUT, nodeID, flags, params, 1); res < 0)
    endWith(std::string("lost the connection to PipeWire: ") + spa_strerror(res));
}

void Impl::endWith(const std::string& reason) {
  if (stopped || ended.exchange(true)) return;
  logLine("capture: " + reason + ", no more frames");
  contentPending = cursorPending = false;
  armTimer(0);
  // The stream is let go of outside its own callbacks, before the session
  // manager can link it to anything else.
  if (wakeEvent) pw_loop_signal_event(pw_thread_loop_get_loop(loop.get()), wakeEvent.get());
  std::lock_guard lock(mutex);
  endedReason = reason;
  if (!endedHandler || endedThread.joinable()) return;
  // Off this thread: the handler may well destroy the stream.
  endedThread = std::thread([h = endedHandler, reason] { h(reason); });
  endedReason.reset();
}

void Impl::onFormat(const spa_pod* param) {
  if (!param) {
    format.reset();  // renegotiating; the buffers are going
    return;
  }
  format = parseFormat(param);
  if (!format) return endWith("the screen cast offers no video format this program reads");
  ++formatChanges;
  wantFullFrame = true;
  {
    std::lock_guard lock(mutex);
    sourceSize = Size{static_cast<double>(format->width), static_cast<double>(format->height)};
  }
  uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  std::vector<const spa_pod*> params = buildBufferParams(b);
  pw_stream_update_params(stream.get(), params.data(), static_cast<uint32_t>(params.size()));
}

void Impl::onProcess() {
  // Every buffer is read and handed back at once: the stream keeps none.
  while (pw_buffer* b = pw_stream_dequeue_buffer(stream.get())) {
    if (!stopped && !ended) handleBuffer(b);
    pw_stream_queue_buffer(stream.get(), b);
  }
  tryDeliver();
}

void Impl::handleBuffer(pw_buffer* b) {
  ++received;
  const spa_buffer* buf = b->buffer;
  if (isCorrupted(buf)) {
    ++unusable;
    return;
  }
  const spa_meta* cursorMeta = spa_buffer_find_meta(buf, SPA_META_Cursor);
  if (cursorMeta && cursor.update(static_cast<const spa_meta_cursor*>(cursorMeta->data), cursorMeta->size)) {
    reportCursor();
    if (active.showsCursor) cursorPending = true;
  }
  if (!hasPixels(buf) || !format) {
    // A cursor-only update has no pixels; anything else without them is broken.
    if (!cursorMeta) ++unusable;
    return;
  }
  if (!wantFullFrame && damageSaysUnchanged(buf)) {
    ++unchanged;
    return;
  }
  if (!copyContent(buf)) {
    ++unusable;
    return;
  }
  wantFullFrame = false;
  contentTime = presentationTime(buf, monotonicNanos());
  contentPending = true;
}

// Copies the cropped image out of the buffer, or refuses one whose layout
// does not match the negotiated format.
bool Impl::copyContent(const spa_buffer* buf) {
  const std::optional<ImageRows> rows = imageRows(buf, format->width, format->height);
  if (!rows) return false;
  const PixelRect r = cropRegion(buf, format->width, format->height);
  if (!staging || staging->width != r.width || staging->height != r.height) {
    staging = PixelBuffer::allocate(r.width, r.height);
    if (!staging || !staging->pixels) return false;
  }
  const bool moved = r != crop;
  crop = r;
  copyToBGRA(rows->first, rows->stride, format->format, r, *staging);
  if (moved && cursor.known()) reportCursor();  // the same pointer is elsewhere in a new crop
  return true;
}

void Impl::reportCursor() {
  StreamCursor c;
  const int width = crop.width > 0 ? crop.width : (format ? format->width : 0);
  const int height = crop.height > 0 ? crop.height : (format ? format->height : 0);
  c.x = cursor.x() - crop.x;
  c.y = cursor.y() - crop.y;
  c.streamWidth = width;
  c.streamHeight = height;
  // Over the stream, whether or not its image can be drawn: an application
  // may hide the pointer (or give no image), and it still points somewhere.
  c.visible = cursor.known() && c.x >= 0 && c.y >= 0 && c.x < width && c.y < height;
  if (c == reportedCursor) return;
  reportedCursor = c;
  if (cursorHandler) cursorHandler(c);
}

void Impl::onWake() {
  if (ended && stream) {
    streamHook.reset();
    stream.reset();
    return;
  }
  StreamConfiguration changed;
  bool apply = false;
  {
    std::lock_guard lock(mutex);
    if (configChanged) {
      configChanged = false;
      changed = config;
      apply = true;
    }
  }
  if (apply) {
    active = changed;
    lockedWidth = lockedHeight = 0;
    if (staging) contentPending = true;  // the next frame shows the new geometry
  }
  tryDeliver();
}

void Impl::armTimer(int64_t ns) {
  if (!paceTimer) return;
  timespec value{ns / 1'000'000'000, ns % 1'000'000'000};
  pw_loop_update_timer(pw_thread_loop_get_loop(loop.get()), paceTimer.get(), &value, nullptr, false);
}

void Impl::tryDeliver() {
  if (stopped || ended || !staging || !(contentPending || cursorPending)) return armTimer(0);
  // A token bucket holds the rate to one frame per interval on average while
  // letting a frame that comes a little early through.
  const int64_t interval = active.minimumFrameInterval.count();
  const int64_t now = monotonicNanos();
  if (tokenTime == 0) tokenTime = now;
  tokens = interval > 0 ? std::min(1.5, tokens + static_cast<double>(now - tokenTime) / interval) : 1.0;
  tokenTime = now;
  if (tokens < 1.0) return armTimer(static_cast<int64_t>((1.0 - tokens) * interval) + 1);
  tokens -= 1.0;
  const int depth = std::clamp(active.queueDepth, 1, maxQueueDepth);
  if (pool.outstanding() >= depth) {
    // The content stays due: a returned frame or the next buffer retries it.
    ++droppedBehind;
    return armTimer(0);
  }
  if (render(contentPending ? contentTime : now)) {
    contentPending = cursorPending = false;
    armTimer(0);
  } else {
    ++unusable;
    contentPending = cursorPending = false;
  }
}

bool Impl::render(int64_t time) {
  if (active.width > 0 && active.height > 0) {
    lockedWidth = active.width;
    lockedHeight = active.height;
  } else if (lockedWidth == 0) {
    // Left to the source: its first size stays, as the writer's size does.
    lockedWidth = staging->width;
    lockedHeight = staging->height;
  }
  std::shared_ptr<PixelBuffer> out = pool.acquire(lockedWidth, lockedHeight);
  if (!out || !out->pixels) return false;
  int cx = cursor.x() - crop.x, cy = cursor.y() - crop.y;
  if (out->width == staging->width && out->height == staging->height) {
    libyuv::ARGBCopy(staging->pixels, staging->stride, out->pixels, out->stride, out->width, out->height);
  } else if (active.scalesToFit) {
    scaleToFit(*staging, *out);
    const PixelRect fit = fitRect(staging->width, staging->height, out->width, out->height);
    cx = fit.x + cx * fit.width / staging->width;
    cy = fit.y + cy * fit.height / staging->height;
  } else {
    copyTopLeft(*staging, *out);
  }
  if (active.showsCursor) cursor.draw(*out, cx, cy);
  time = std::max(time, lastTime + 1);  // frames never go back in time
  lastTime = time;
  std::shared_ptr<const StreamOutputHandler> h;
  SerialQueue* q = nullptr;
  {
    std::lock_guard lock(mutex);
    h = handler;
    q = queue;
  }
  if (!h || !q) return true;
  ++delivered;
  q->async([h, active = delivering, sample = SampleBuffer::screenFrame(std::move(out), time)] {
    if (active->load()) (*h)(sample);
  });
  return true;
}

// Disconnects the stream: no more buffers, frames or endings.
void Impl::stop() {
  stopped = true;
  if (!loop || shutDown) return;
  pipewire::ThreadLoopLock lock(loop.get());
  if (stream) {
    streamHook.reset();
    stream.reset();
  }
  armTimer(0);
}

void Impl::shutdown() {
  stopped = true;
  if (shutDown.exchange(true) || !loop) return;
  waker->detach();
  {
    pipewire::ThreadLoopLock lock(loop.get());
    if (stream) streamHook.reset();
    stream.reset();
    if (registry) registryHook.reset();
    registry.reset();
    if (core) coreHook.reset();
    core.reset();
    paceTimer.reset();
    wakeEvent.reset();
  }
  pw_thread_loop_stop(loop.get());
  context.reset();
  loop.reset();
}

PipeWireCaptureStream::PipeWireCaptureStream(PipeWireSource source, StreamConfiguration configuration,
                                             CursorHandler cursor)
    : impl_(std::make_shared<Impl>(source, std::move(configuration), std::move(cursor))) {
  if (!impl_->unavailable.empty()) logLine("screen capture unavailable: " + impl_->unavailable);
}

PipeWireCaptureStream::~PipeWireCaptureStream() {
  impl_->stopped = true;
  {
    std::lock_guard lock(threadsMutex_);
    for (std::thread& t : threads_) {
      if (t.get_id() == std::this_thread::get_id()) t.detach();  // destroyed from its own completion
      else if (t.joinable()) t.join();
    }
  }
  impl_->shutdown();
  impl_->delivering->store(false);
  std::lock_guard lock(impl_->mutex);
  if (impl_->endedThread.joinable()) {
    if (impl_->endedThread.get_id() == std::this_thread::get_id()) impl_->endedThread.detach();
    else impl_->endedThread.join();
  }
}

bool PipeWireCaptureStream::addStreamOutput(StreamOutputHandler handler, SerialQueue& queue) {
  if (!impl_->unavailable.empty()) return false;
  std::lock_guard lock(impl_->mutex);
  if (!handler || impl_->handler || impl_->started) return false;
  impl_->handler = std::make_shared<const StreamOutputHandler>(std::move(handler));
  impl_->queue = &queue;
  return true;
}

void PipeWireCaptureStream::startCapture() {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->started || !impl_->unavailable.empty() || !impl_->handler || impl_->stopped) return;
    impl_->started = true;
  }
  pipewire::ThreadLoopLock lock(impl_->loop.get());
  if (!impl_->stopped && !impl_->ended) impl_->createStream();
}

void PipeWireCaptureStream::updateConfiguration(const StreamConfiguration& configuration) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->config = configuration;
    impl_->configChanged = true;
  }
  impl_->waker->signal();
}

void PipeWireCaptureStream::stopCapture(std::function<void()> completion) {
  impl_->stopped = true;  // from here on no frame is made and the stream does not start
  std::lock_guard lock(threadsMutex_);
  threads_.emplace_back([impl = impl_, completion = std::move(completion)] {
    impl->stop();
    impl->delivering->store(false);
    if (completion) completion();
  });
}

void PipeWireCaptureStream::setEndedHandler(EndedHandler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->endedHandler = std::move(handler);
  // Ended before anyone listened: say it now.
  if (impl_->endedReason && impl_->endedHandler && !impl_->endedThread.joinable()) {
    impl_->endedThread = std::thread([h = impl_->endedHandler, reason = *impl_->endedReason] { h(reason); });
    impl_->endedReason.reset();
  }
}

std::optional<Size> PipeWireCaptureStream::sourceSize() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->sourceSize;
}

std::string PipeWireCaptureStream::unavailableReason() const { return impl_->unavailable; }

PipeWireCaptureStatistics PipeWireCaptureStream::statistics() const {
  PipeWireCaptureStatistics s;
  s.framesDelivered = impl_->delivered;
  s.framesDroppedConsumerBehind = impl_->droppedBehind;
  s.buffersUnchanged = impl_->unchanged;
  s.buffersUnusable = impl_->unusable;
  s.buffersReceived = impl_->received;
  s.formatChanges = impl_->formatChanges;
  s.ended = impl_->ended;
  return s;
}

}  // namespace moxi

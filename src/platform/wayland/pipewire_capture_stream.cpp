#include "platform/wayland/pipewire_capture_stream.h"

#include <spa/param/param.h>
#include <spa/utils/result.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "platform/wayland/pipewire_capture_impl.h"

namespace moxi {

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
  std::vector<const spa_pod*> params = buildFormatOffers(b);
  const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
  if (int res = pw_stream_connect(stream.get(), PW_DIRECTION_INPUT, nodeID, flags, params.data(),
                                  static_cast<uint32_t>(params.size()));
      res < 0)
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
  if (!isCopyable(format->format)) {
    // Agreed on only through the catch-all offer, to be named here.
    const spa_video_format unreadable = format->format;
    format.reset();
    formatUnreadable = true;
    return endWith(unsupportedFormatReason(unreadable));
  }
  ++formatChanges;
  wantFullFrame = true;
  area = WindowArea{};  // looked for afresh in buffers of the new size
  {
    std::lock_guard lock(mutex);
    sourceSize = Size{static_cast<double>(format->width), static_cast<double>(format->height)};
  }
  uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  std::vector<const spa_pod*> params = buildBufferParams(b);
  pw_stream_update_params(stream.get(), params.data(), static_cast<uint32_t>(params.size()));
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
  impl_->stoppers.joinAll();
  impl_->shutdown();
  impl_->output.stopDelivering();
  std::lock_guard lock(impl_->mutex);
  if (impl_->endedThread.joinable()) {
    if (impl_->endedThread.get_id() == std::this_thread::get_id()) impl_->endedThread.detach();
    else impl_->endedThread.join();
  }
}

bool PipeWireCaptureStream::addStreamOutput(StreamOutputHandler handler, SerialQueue& queue) {
  if (!impl_->unavailable.empty()) return false;
  std::lock_guard lock(impl_->mutex);
  return !impl_->started && impl_->output.set(std::move(handler), queue);
}

void PipeWireCaptureStream::startCapture() {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->started || !impl_->unavailable.empty() || !impl_->output.isSet() || impl_->stopped) return;
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
  impl_->stoppers.run([impl = impl_, completion = std::move(completion)] {
    impl->stop();
    impl->output.stopDelivering();
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

bool PipeWireCaptureStream::endedOverFormat() const { return impl_->formatUnreadable; }

PipeWireCaptureStatistics PipeWireCaptureStream::statistics() const {
  PipeWireCaptureStatistics s;
  s.frames = impl_->output.statistics();
  s.buffersUnchanged = impl_->unchanged;
  s.buffersUnusable = impl_->unusable;
  s.buffersReceived = impl_->received;
  s.formatChanges = impl_->formatChanges;
  s.ended = impl_->ended;
  return s;
}

}  // namespace moxi

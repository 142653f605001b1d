#include "platform/x11/x11_capture_stream.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include "common/log.h"
#include "platform/x11/x11_capture_impl.h"

namespace moxi {

std::string X11CaptureStream::Impl::checkDisplay() {
  if (!conn.ok()) return "no X display";
  if (wake->fd() < 0) return "no eventfd";
  xcb_connection_t* c = conn.get();
  if (!conn.hasExtension(&xcb_composite_id)) return "the display lacks Composite";
  if (!conn.hasExtension(&xcb_damage_id)) return "the display lacks DAMAGE";
  if (!conn.hasExtension(&xcb_shm_id)) return "the display lacks MIT-SHM";
  if (!conn.hasExtension(&xcb_xfixes_id)) return "the display lacks XFIXES";
  if (xcb_get_setup(c)->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return "the display's images are big-endian";
  // The extensions want their versions asked before first use.
  auto composite = xcb::reply(c, xcb_composite_query_version(c, 0, 4), xcb_composite_query_version_reply);
  if (!composite || (composite->major_version == 0 && composite->minor_version < 2))
    return "the display's Composite cannot name window pixmaps";
  auto damage = xcb::reply(c, xcb_damage_query_version(c, 1, 1), xcb_damage_query_version_reply);
  auto xfixes = xcb::reply(c, xcb_xfixes_query_version(c, 4, 0), xcb_xfixes_query_version_reply);
  auto shm = xcb::reply(c, xcb_shm_query_version(c), xcb_shm_query_version_reply);
  if (!damage || !xfixes || !shm) return "the display did not answer the extension queries";
  damageEventBase = xcb_get_extension_data(c, &xcb_damage_id)->first_event;
  xfixesEventBase = xcb_get_extension_data(c, &xcb_xfixes_id)->first_event;
  return {};
}

void X11CaptureStream::Impl::stopAndJoin() {
  stopRequested = true;
  wake->signal();
  std::lock_guard lock(joinMutex);
  if (captureThread.joinable()) captureThread.join();
}

X11CaptureStream::X11CaptureStream(ContentFilter filter, StreamConfiguration configuration, std::string displayName)
    : impl_(std::make_shared<Impl>(std::move(filter), std::move(configuration), displayName)) {}

X11CaptureStream::~X11CaptureStream() {
  impl_->stopAndJoin();
  impl_->output.stopDelivering();
  impl_->stoppers.joinAll();
}

bool X11CaptureStream::addStreamOutput(StreamOutputHandler handler, SerialQueue& queue) {
  if (!impl_->unavailable.empty()) {
    logLine("screen capture unavailable: " + impl_->unavailable);
    return false;
  }
  std::lock_guard lock(impl_->mutex);
  return !impl_->started && impl_->output.set(std::move(handler), queue);
}

void X11CaptureStream::startCapture() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->started || !impl_->unavailable.empty() || !impl_->output.isSet()) return;
  std::lock_guard join(impl_->joinMutex);
  if (impl_->stopRequested) return;
  impl_->started = true;
  impl_->captureThread = std::thread([impl = impl_.get()] { impl->run(); });
}

void X11CaptureStream::updateConfiguration(const StreamConfiguration& configuration) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->config = configuration;
    impl_->configChanged = true;
  }
  impl_->wake->signal();
}

void X11CaptureStream::stopCapture(std::function<void()> completion) {
  // From here on the stream does not start; the join happens off this thread.
  impl_->stopRequested = true;
  impl_->wake->signal();
  impl_->stoppers.run([impl = impl_, completion = std::move(completion)] {
    impl->stopAndJoin();
    impl->output.stopDelivering();
    if (completion) completion();
  });
}

std::string X11CaptureStream::unavailableReason() const { return impl_->unavailable; }

CaptureStatistics X11CaptureStream::statistics() const {
  CaptureStatistics s;
  s.frames = impl_->output.statistics();
  s.framesFailed = impl_->failed;
  s.damageEvents = impl_->damageEvents;
  s.windowClosed = impl_->windowClosed;
  return s;
}

}  // namespace moxi

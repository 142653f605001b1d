#include "platform/wayland/portal_capture_stream.h"

#include "common/log.h"

namespace moxi {

PortalCaptureStream::PortalCaptureStream(std::shared_ptr<PortalWindowServer> server, uint32_t windowID,
                                         const StreamConfiguration& configuration,
                                         std::function<void(const StreamCursor&)> cursor)
    : server_(std::move(server)), windowID_(windowID) {
  std::optional<SharedSource> source = server_->source(windowID);
  if (!source) {
    logLine("the shared window's screen cast has already ended");
    return;
  }
  stream_ = std::make_unique<PipeWireCaptureStream>(PipeWireSource{source->pipeWireRemote.release(), source->nodeID},
                                                    configuration, std::move(cursor));
  // The window is gone for the controller once its stream ends by itself;
  // the controller then finishes the recording as on a stop.
  std::weak_ptr<PortalWindowServer> weak = server_;
  // (The stream itself says why in the log.)
  stream_->setEndedHandler([weak, windowID](std::string) {
    if (auto server = weak.lock()) server->sourceEnded(windowID);
  });
}

PortalCaptureStream::~PortalCaptureStream() {
  stream_.reset();
  server_->releaseSource(windowID_);
}

bool PortalCaptureStream::addStreamOutput(StreamOutputHandler handler, SerialQueue& queue) {
  return stream_ && stream_->addStreamOutput(std::move(handler), queue);
}

void PortalCaptureStream::startCapture() {
  if (stream_) stream_->startCapture();
}

void PortalCaptureStream::updateConfiguration(const StreamConfiguration& configuration) {
  if (stream_) stream_->updateConfiguration(configuration);
}

void PortalCaptureStream::stopCapture(std::function<void()> completion) {
  // The desktop stops sharing at once; the frames in flight are dropped anyway.
  server_->releaseSource(windowID_);
  if (stream_) return stream_->stopCapture(std::move(completion));
  if (completion) completion();
}

}  // namespace moxi

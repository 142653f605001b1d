#include "capture/frame_pacer.h"

#include "common/serial_queue.h"

namespace moxi {

bool FrameOutput::set(StreamOutputHandler handler, SerialQueue& queue) {
  std::lock_guard lock(mutex_);
  if (!handler || handler_) return false;
  handler_ = std::make_shared<const StreamOutputHandler>(std::move(handler));
  queue_ = &queue;
  return true;
}

bool FrameOutput::isSet() const {
  std::lock_guard lock(mutex_);
  return handler_ != nullptr;
}

void FrameOutput::deliver(std::shared_ptr<PixelBuffer> image, int64_t time) {
  std::shared_ptr<const StreamOutputHandler> handler;
  SerialQueue* queue = nullptr;
  {
    std::lock_guard lock(mutex_);
    handler = handler_;
    queue = queue_;
  }
  if (!handler || !queue) return;
  ++delivered_;
  if (image) lastFrameBytes_ = image->byteSize();
  queue->async([handler, active = delivering_, sample = SampleBuffer::screenFrame(std::move(image), time)] {
    if (active->load()) (*handler)(sample);
  });
}

FrameStatistics FrameOutput::statistics() const {
  FrameStatistics s;
  s.delivered = delivered_;
  s.droppedConsumerBehind = dropped_;
  return s;
}

FramePacer::Due FramePacer::due(const StreamConfiguration& config, const PixelBufferPool& pool, int64_t now) {
  const int64_t interval = config.minimumFrameInterval.count();
  if (tokenTime_ == 0) tokenTime_ = now;
  tokens_ = interval > 0 ? std::min(1.5, tokens_ + static_cast<double>(now - tokenTime_) / interval) : 1.0;
  tokenTime_ = now;
  if (tokens_ < 1.0) return Due::later;
  tokens_ -= 1.0;
  if (pool.outstanding() >= queueDepthWithin(config.queueDepth, maxQueueDepth_, output_.lastFrameBytes())) {
    output_.countDropped();
    return Due::consumerBehind;
  }
  return Due::now;
}

int64_t FramePacer::nanosUntilDue(const StreamConfiguration& config) const {
  const int64_t interval = config.minimumFrameInterval.count();
  if (interval <= 0) return -1;
  return static_cast<int64_t>((1.0 - tokens_) * interval) + 1;
}

void StopperThreads::run(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  threads_.emplace_back(std::move(work));
}

void StopperThreads::joinAll() {
  std::lock_guard lock(mutex_);
  for (std::thread& t : threads_) {
    if (t.get_id() == std::this_thread::get_id()) t.detach();
    else if (t.joinable()) t.join();
  }
}

}  // namespace moxi

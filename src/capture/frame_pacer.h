#pragma once
// What every capture stream does with its frames, whatever the platform:
// pace them, hand them to the consumer's queue, count them, and run the
// stopCapture completions off the caller's thread.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/capture_stream.h"
#include "capture/sample_buffer.h"

namespace moxi {

struct FrameStatistics {
  uint64_t delivered = 0;
  uint64_t droppedConsumerBehind = 0;  // queueDepth frames were out
};

// The stream's one output: the handler, called on its queue, until the
// stream has stopped. Safe from any thread.
class FrameOutput {
 public:
  // False when the handler is empty or an output is there already.
  bool set(StreamOutputHandler handler, SerialQueue& queue);
  bool isSet() const;
  // Queues the frame for the handler (dropped when there is no output).
  void deliver(std::shared_ptr<PixelBuffer> image, int64_t time);
  void countDropped() { ++dropped_; }
  // Frames still waiting in the queue no longer reach the handler.
  void stopDelivering() { delivering_->store(false); }
  FrameStatistics statistics() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const StreamOutputHandler> handler_;
  SerialQueue* queue_ = nullptr;
  // Shared with the queued jobs, which may run after the stream is gone.
  std::shared_ptr<std::atomic<bool>> delivering_ = std::make_shared<std::atomic<bool>>(true);
  std::atomic<uint64_t> delivered_{0}, dropped_{0};
};

// Decides when the next frame may be taken: at most one per
// minimumFrameInterval on average, and none while queueDepth frames are out
// with the consumer (those due then count as dropped). Used by one thread.
class FramePacer {
 public:
  enum class Due { later, consumerBehind, now };

  // `firstQueueDepth` bounds every later configuration's depth.
  FramePacer(FrameOutput& output, int firstQueueDepth)
      : output_(output), maxQueueDepth_(std::max(1, firstQueueDepth)) {}

  int maxQueueDepth() const { return maxQueueDepth_; }
  // The rate counts from `now` (else from the first call to due()).
  void startClock(int64_t now) { tokenTime_ = now; }
  // A frame wanted at `now`: spends a token when one is there, then checks
  // the frames `pool` has out.
  Due due(const StreamConfiguration& config, const PixelBufferPool& pool, int64_t now);
  // After a call to due(): how long until the next token; -1 when the rate is not limited.
  int64_t nanosUntilDue(const StreamConfiguration& config) const;

 private:
  FrameOutput& output_;
  const int maxQueueDepth_;
  // A token bucket holds the rate to one frame per interval on average while
  // letting a frame that comes a little early through.
  double tokens_ = 1.0;
  int64_t tokenTime_ = 0;
};

// Runs each stopCapture completion on a thread of its own; the threads are
// joined when this goes.
class StopperThreads {
 public:
  StopperThreads() = default;
  ~StopperThreads() { joinAll(); }
  StopperThreads(const StopperThreads&) = delete;
  StopperThreads& operator=(const StopperThreads&) = delete;

  void run(std::function<void()> work);
  // A thread that is destroying the stream from its own completion is let go instead.
  void joinAll();

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

}  // namespace moxi

#pragma once
// The smallest recorder that drives a capture stream into a writer the way
// the recorder controller does: frames on a serial queue, the first complete
// frame opens the writer and starts the session, later ones are appended;
// stopping ends the session at the stop time and finishes the file.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/writer/recording_writer.h"
#include "common/clock.h"
#include "common/serial_queue.h"
#include "platform/x11/x11_capture_stream.h"

namespace moxi::test {

class RecordingPipeline {
 public:
  struct Frame {
    int64_t presentationTimeNs;
    int width;
    int height;
  };
  struct Result {
    bool finished = false;
    bool writerOk = false;
    std::string error;
    int64_t firstFrameNs = 0;  // the session's start
    int64_t endNs = 0;         // the session's end (the stop)
    double stopToFinishedSeconds = 0;
    std::vector<Frame> frames;  // every complete frame the stream delivered
    uint64_t appended = 0;
    uint64_t notReady = 0;
    CaptureStatistics capture;
  };

  RecordingPipeline(ContentFilter filter, StreamConfiguration configuration, std::string path,
                    VideoEncoderOptions options = {})
      : stream_(std::make_unique<X11CaptureStream>(std::move(filter), std::move(configuration))),
        path_(std::move(path)),
        options_(std::move(options)) {}

  ~RecordingPipeline() {
    stream_.reset();
    queue_.drain();
  }

  bool start() {
    if (!stream_->addStreamOutput([this](const SampleBuffer& s) { onFrame(s); }, queue_)) return false;
    stream_->startCapture();
    return true;
  }

  X11CaptureStream& stream() { return *stream_; }

  // Waits until the stream delivered `count` complete frames (or the timeout).
  bool waitForFrames(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return framesArrived_.wait_for(lock, timeout, [&] { return result_.frames.size() >= count; });
  }
  size_t frameCount() {
    std::lock_guard lock(mutex_);
    return result_.frames.size();
  }

  // Stops as the recorder does and waits for the finished file.
  Result stop() {
    done_ = true;
    std::promise<void> stopped;
    stream_->stopCapture([&stopped] { stopped.set_value(); });
    const int64_t end = monotonicNanos();
    queue_.drain();  // the writer, if any, was made on the queue
    std::promise<std::pair<bool, std::string>> finished;
    if (writer_) {
      writer_->endSession(end);
      if (input_) input_->markAsFinished();
      writer_->finishWriting([&finished](bool ok, std::string error) { finished.set_value({ok, error}); });
      auto f = finished.get_future();
      if (f.wait_for(std::chrono::seconds(60)) == std::future_status::ready) {
        auto [ok, error] = f.get();
        result_.finished = true;
        result_.writerOk = ok;
        result_.error = error;
      }
      result_.stopToFinishedSeconds = (monotonicNanos() - end) / 1e9;
    }
    stopped.get_future().wait_for(std::chrono::seconds(10));
    result_.endNs = end;
    result_.capture = stream_->statistics();
    std::lock_guard lock(mutex_);
    return result_;
  }

 private:
  void onFrame(const SampleBuffer& sample) {
    if (!sample.valid || sample.outputType != SampleOutputType::screen) return;
    auto frame = completeFrame(sample);
    if (!frame) return;
    {
      std::lock_guard lock(mutex_);
      result_.frames.push_back({sample.presentationTimeNs, frame->image->width, frame->image->height});
    }
    framesArrived_.notify_all();
    if (done_) return;
    if (!writer_) {
      std::string error;
      writer_ = RecordingWriter::create(path_, error, options_);
      if (!writer_) return setError(error);
      VideoSettings settings{VideoCodec::h264, static_cast<float>(frame->image->width),
                             static_cast<float>(frame->image->height)};
      if (!writer_->canApplyVideoSettings(settings)) return setError("settings refused");
      input_ = writer_->addVideoInput(settings);
      if (!input_ || !writer_->startWriting()) return setError(writer_->error());
      writer_->startSession(sample.presentationTimeNs);
      std::lock_guard lock(mutex_);
      result_.firstFrameNs = sample.presentationTimeNs;
      return;
    }
    if (input_ && input_->isReadyForMoreMediaData() && input_->append(*frame->image, sample.presentationTimeNs)) {
      std::lock_guard lock(mutex_);
      ++result_.appended;
    } else {
      std::lock_guard lock(mutex_);
      ++result_.notReady;
    }
  }

  void setError(const std::string& error) {
    std::lock_guard lock(mutex_);
    result_.error = error;
  }

  SerialQueue queue_{"com.quillon.moxiscope.VideoSampleBufferQueue"};
  std::unique_ptr<X11CaptureStream> stream_;
  std::string path_;
  VideoEncoderOptions options_;
  std::atomic<bool> done_{false};
  std::unique_ptr<RecordingWriter> writer_;            // queue only, until stop drains it
  std::shared_ptr<VideoWriterInput> input_;            // likewise
  std::mutex mutex_;
  std::condition_variable framesArrived_;
  Result result_;
};

}  // namespace moxi::test

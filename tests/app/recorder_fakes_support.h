#pragma once
// Fakes of the recorder's platform services, and a controller built on them.
#include <QCoreApplication>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/recorder_services.h"
#include "app/toggler.h"
#include "capture/fake_microphone.h"
#include "capture/fake_window_server_support.h"
#include "platform/serial_queue.h"
#include "ui/recording_surface_support.h"

namespace moxi::test {

class FakeCaptureStream : public CaptureStream {
 public:
  FakeCaptureStream(ContentFilter f, StreamConfiguration c, std::atomic<int>& stops)
      : filter(std::move(f)), configuration(c), stops_(stops) {}
  bool addStreamOutput(StreamOutputHandler h, SerialQueue& q) override {
    if (refuseOutput) return false;
    handler = std::move(h);
    queue = &q;
    return true;
  }
  void startCapture() override {}
  void updateConfiguration(const StreamConfiguration& c) override { updates.push_back(c); }
  void stopCapture(std::function<void()> completion) override {
    stopped = true;
    ++stops_;
    std::thread(std::move(completion)).detach();
  }
  // Hands a frame to the recorder's queue, as the capture thread would.
  void deliver(SampleBuffer sample) {
    queue->async([h = handler, sample] { h(sample); });
  }

  ContentFilter filter;
  StreamConfiguration configuration;
  std::vector<StreamConfiguration> updates;
  StreamOutputHandler handler;
  SerialQueue* queue = nullptr;
  bool refuseOutput = false;
  std::atomic<bool> stopped{false};

 private:
  std::atomic<int>& stops_;
};

// What the recorder asked of its writers, in order.
struct WriterLog {
  std::mutex mutex;
  std::vector<std::string> calls;
  std::vector<int64_t> videoTimes;
  std::atomic<bool> writeFails{false};  // the disk is full from now on
  void add(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  }
  std::vector<std::string> snapshot() {
    std::lock_guard lock(mutex);
    return calls;
  }
};

class FakeVideoInput : public VideoWriterInput {
 public:
  explicit FakeVideoInput(std::shared_ptr<WriterLog> log) : log_(std::move(log)) {}
  bool isReadyForMoreMediaData() const override { return !finished_ && !log_->writeFails; }
  bool append(const PixelBuffer&, int64_t t) override {
    std::lock_guard lock(log_->mutex);
    log_->videoTimes.push_back(t);
    return true;
  }
  void markAsFinished() override {
    finished_ = true;
    log_->add("markAsFinished");
  }

 private:
  std::shared_ptr<WriterLog> log_;
  std::atomic<bool> finished_{false};
};

class FakeAudioInput : public AudioWriterInput {
 public:
  bool isReadyForMoreMediaData() const override { return true; }
  bool append(const AudioBuffer&) override { return true; }
  void markAsFinished() override {}
};

class FakeWriter : public RecordingWriter {
 public:
  FakeWriter(std::string path, std::shared_ptr<WriterLog> log, bool failStart)
      : path_(std::move(path)), log_(std::move(log)), failStart_(failStart) {}
  bool canApplyVideoSettings(const VideoSettings& s) const override { return s.width >= 2 && s.height >= 2; }
  std::shared_ptr<VideoWriterInput> addVideoInput(const VideoSettings&) override {
    log_->add("addVideoInput");
    return std::make_shared<FakeVideoInput>(log_);
  }
  std::shared_ptr<AudioWriterInput> addAudioInput(const AudioSettings&, bool) override {
    log_->add("addAudioInput");
    return std::make_shared<FakeAudioInput>();
  }
  bool startWriting() override {
    log_->add("startWriting");
    return !failStart_;
  }
  void startSession(int64_t) override { log_->add("startSession"); }
  void endSession(int64_t) override { log_->add("endSession"); }
  void finishWriting(std::function<void(bool, std::string)> completion) override {
    log_->add("finishWriting");
    std::thread([completion] { completion(true, {}); }).detach();
  }
  WriterStatus status() const override { return log_->writeFails ? WriterStatus::failed : WriterStatus::writing; }
  std::string error() const override { return failStart_ || log_->writeFails ? "disk full" : ""; }
  std::string path() const override { return path_; }
  WriterStatistics statistics() const override { return {}; }

 private:
  std::string path_;
  std::shared_ptr<WriterLog> log_;
  bool failStart_;
};

class FakePointerMonitor : public PointerMonitor {
 public:
  std::optional<Token> install(Handler h) override {
    handler = std::move(h);
    return ++lastToken;
  }
  void remove(Token) override {
    handler = nullptr;
    ++removes;
  }
  Handler handler;
  int removes = 0;
  Token lastToken = 0;
};

// A controller on fakes, with a window 42 of 800 x 600 at (100, 50) on a
// screen 900 high.
struct FakeRecorder {
  std::shared_ptr<FakeWindowServer> windows = std::make_shared<FakeWindowServer>();
  std::atomic<int> streamStops{0};  // stopCapture calls, also of streams gone since
  std::vector<FakeCaptureStream*> streams;  // every stream made; only the last may be alive
  std::shared_ptr<WriterLog> writerLog = std::make_shared<WriterLog>();
  std::shared_ptr<FakeMicrophoneAccess> access = std::make_shared<FakeMicrophoneAccess>();
  std::shared_ptr<FakeMicrophoneSession> session = std::make_shared<FakeMicrophoneSession>();
  std::shared_ptr<FakePointerMonitor> monitor = std::make_shared<FakePointerMonitor>();
  bool refuseWriter = false, failStart = false, refuseOutput = false;
  std::vector<QUrl> opened;
  std::vector<UserNotice> notices;
  std::unique_ptr<Toggler> toggler;

  explicit FakeRecorder(StatusButton* button = nullptr, std::shared_ptr<SourcePicker> picker = nullptr) {
    windows->addWindow(42, {100, 50, 800, 600});
    windows->bounds[42] = {100, 50, 800, 600};
    windows->order = {42};
    RecorderServices s;
    s.windowServer = windows;
    s.makeCaptureStream = [this](const ContentFilter& f, const StreamConfiguration& c) {
      auto stream = std::make_unique<FakeCaptureStream>(f, c, streamStops);
      stream->refuseOutput = refuseOutput;
      streams.push_back(stream.get());
      return stream;
    };
    s.makeWriter = [this](const std::string& path, std::string& error) -> std::unique_ptr<RecordingWriter> {
      if (refuseWriter) {
        error = "no space";
        return nullptr;
      }
      return std::make_unique<FakeWriter>(path, writerLog, failStart);
    };
    s.microphoneAccess = access;
    s.microphoneSession = session;
    s.pointerMonitor = monitor;
    s.makeOverlay = [](int64_t n) {
      return std::make_unique<HighlightWindowController>(n, false, std::make_unique<RecordingSurface>());
    };
    s.askToCopy = [] { return false; };
    s.copyToClipboard = [](const QUrl&) { return true; };
    s.openURL = [this](const QUrl& u) {
      opened.push_back(u);
      return true;
    };
    s.notifyUser = [this](const UserNotice& n) { notices.push_back(n); };
    s.pointerLocation = [] { return Point{}; };
    s.mainScreenHeight = [] { return std::optional<double>(900); };
    s.createHotKey = false;
    s.sourcePicker = std::move(picker);
    toggler = std::make_unique<Toggler>(nullptr, button, std::move(s));
  }

  FakeCaptureStream* stream() { return streams.empty() ? nullptr : streams.back(); }
  CaptureWindow window() { return windows->content->windows.front(); }
  void frame(int64_t t, FrameStatus status = FrameStatus::complete) {
    stream()->deliver(SampleBuffer::screenFrame(PixelBuffer::allocate(800, 600), t, status));
  }
  // Lets queued work on the video queue and the main thread run.
  void settle() {
    for (int i = 0; i < 5; ++i) {
      const_cast<SerialQueue&>(toggler->videoSampleBufferQueue()).drain();
      QCoreApplication::processEvents();
    }
  }
};

}  // namespace moxi::test

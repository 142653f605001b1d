#pragma once
// Fakes of the recorder's platform services, and a controller built on them.
#include <QCoreApplication>
#include <QThreadPool>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/status_button.h"
#include "app/toggler.h"
#include "capture/fake_microphone.h"
#include "capture/fake_window_server_support.h"
#include "ui/recording_surface_support.h"

namespace moxi::test {

class FakeCaptureStream : public CaptureStream {
 public:
  FakeCaptureStream(bool refuse, std::atomic<int>& stops) : refuse_(refuse), stops_(stops) {}
  bool addStreamOutput(StreamOutputHandler h, SerialQueue& q) override {
    handler_ = std::move(h);
    queue_ = &q;
    return !refuse_;
  }
  void startCapture() override {}
  void updateConfiguration(const StreamConfiguration& c) override { updates.push_back(c); }
  void stopCapture(std::function<void()> completion) override {
    ++stops_;
    std::thread(std::move(completion)).detach();
  }
  // Hands a frame to the recorder's queue, as the capture thread would.
  void deliver(SampleBuffer sample) {
    queue_->async([h = handler_, sample] { h(sample); });
  }

  std::vector<StreamConfiguration> updates;

 private:
  StreamOutputHandler handler_;
  SerialQueue* queue_ = nullptr;
  bool refuse_;
  std::atomic<int>& stops_;
};

// Both inputs of every writer: the frames they are handed ("append <time>")
// and the writers' finishes, in order. Sound is taken.
struct WriterLog : VideoWriterInput, AudioWriterInput {
  std::mutex mutex;
  std::vector<std::string> calls;
  void add(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  }
  bool isReadyForMoreMediaData() const override { return true; }
  bool append(const PixelBuffer&, int64_t t) override {
    add("append " + std::to_string(t));
    return true;
  }
  bool append(const AudioBuffer&) override { return true; }
  void markAsFinished() override {}
};

class FakeWriter : public RecordingWriter {
 public:
  explicit FakeWriter(std::shared_ptr<WriterLog> log) : log_(std::move(log)) {}
  bool canApplyVideoSettings(const VideoSettings&) const override { return true; }
  std::shared_ptr<VideoWriterInput> addVideoInput(const VideoSettings&) override { return log_; }
  std::shared_ptr<AudioWriterInput> addAudioInput(const AudioSettings&, bool) override { return log_; }
  bool startWriting() override { return true; }
  void startSession(int64_t) override {}
  void endSession(int64_t) override {}
  void finishWriting(std::function<void(bool, std::string)> completion) override {
    log_->add("finishWriting");
    std::thread([completion] { completion(true, {}); }).detach();
  }
  WriterStatus status() const override { return WriterStatus::writing; }
  std::string error() const override { return {}; }
  std::string path() const override { return {}; }
  WriterStatistics statistics() const override { return {}; }

 private:
  std::shared_ptr<WriterLog> log_;
};

class FakePointerMonitor : public PointerMonitor {
 public:
  std::optional<Token> install(Handler h) override {
    handler = std::move(h);
    return 1;
  }
  void remove(Token) override {}
  Handler handler;
};

// A controller on fakes, with a window 42 of 800 x 600 at (100, 50) on a
// screen 900 high, and the pointer over it.
struct FakeRecorder {
  std::shared_ptr<FakeWindowServer> windows = std::make_shared<FakeWindowServer>();
  std::atomic<int> streamStops{0};          // stopCapture calls, also of streams gone since
  FakeCaptureStream* stream = nullptr;      // the last one made, alive until it stopped
  std::shared_ptr<WriterLog> writerLog = std::make_shared<WriterLog>();
  std::shared_ptr<FakeMicrophoneAccess> access = std::make_shared<FakeMicrophoneAccess>();
  std::shared_ptr<FakeMicrophoneSession> session = std::make_shared<FakeMicrophoneSession>();
  std::shared_ptr<FakePointerMonitor> monitor = std::make_shared<FakePointerMonitor>();
  bool refuseOutput = false, refuseWriter = false;
  std::vector<std::string> notices;  // summary and body
  Point pointer{150, 800};           // bottom-left: (150, 100), inside window 42
  std::unique_ptr<StatusButton> button = std::make_unique<StatusButton>();
  std::unique_ptr<Toggler> toggler;

  FakeRecorder() {
    windows->addWindow(42, {100, 50, 800, 600});
    windows->bounds[42] = {100, 50, 800, 600};
    RecorderServices s;
    s.windowServer = windows;
    s.makeCaptureStream = [this](const ContentFilter&, const StreamConfiguration&) {
      auto made = std::make_unique<FakeCaptureStream>(refuseOutput, streamStops);
      stream = made.get();
      return made;
    };
    s.makeWriter = [this](const std::string&, std::string&) -> std::unique_ptr<RecordingWriter> {
      return refuseWriter ? nullptr : std::make_unique<FakeWriter>(writerLog);
    };
    s.microphoneAccess = access;
    s.microphoneSession = session;
    s.pointerMonitor = monitor;
    s.makeOverlay = [](int64_t n) {
      return std::make_unique<HighlightWindowController>(n, false, std::make_unique<RecordingSurface>());
    };
    s.notifyUser = [this](const UserNotice& n) { notices.push_back((n.summary + " " + n.body).toStdString()); };
    s.pointerLocation = [this] { return pointer; };
    s.mainScreenHeight = [] { return std::optional<double>(900); };
    toggler = std::make_unique<Toggler>(nullptr, button.get(), std::move(s));
  }

  CaptureWindow window() { return windows->content->windows.front(); }
  void frame(int64_t t, FrameStatus status = FrameStatus::complete) {
    stream->deliver(SampleBuffer::screenFrame(PixelBuffer::allocate(800, 600), t, status));
  }
  // Lets queued work on the video queue, the thread pool and the main thread run.
  void settle() {
    for (int i = 0; i < 5; ++i) {
      const_cast<SerialQueue&>(toggler->videoSampleBufferQueue()).drain();
      QThreadPool::globalInstance()->waitForDone();
      QCoreApplication::processEvents();
    }
  }
  // Starts recording window 42 and hands it `frames` frames, a second apart.
  void record(int frames) {
    toggler->startRecording(window());
    for (int i = 1; i <= frames; ++i) frame(i * 1000);
    settle();
  }
  // Stops, and waits for the finish and the export.
  bool stop() {
    toggler->stopRecording();
    return toggler->waitForPendingFinishes(10000);
  }
};

}  // namespace moxi::test

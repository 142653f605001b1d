// The microphone on the PulseAudio sound server (PipeWire's pulse server
// serves it too).
//
// The access check connects a throw-away client on the caller's thread with a
// short time limit. The session keeps one client connection on its own
// threaded main loop: the "input" is the default source it found, the
// "output" is a record stream into that source, created afresh for each run.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/microphone/audio_block_clock.h"
#include "common/clock.h"
#include "common/log.h"
#include "common/serial_queue.h"
#include "platform/pulseaudio/pulse.h"
#include "platform/pulseaudio/pulse_microphone.h"

namespace moxi {

namespace {

using namespace std::chrono_literals;

constexpr const char* kClientName = "Moxiscope";
constexpr int kSampleRate = 44100;
constexpr int kChannels = 1;
constexpr size_t kFrameBytes = sizeof(int16_t) * kChannels;
// 1024 frames is about 23 ms, and one AAC frame: the writer encodes each block
// without re-cutting it.
constexpr size_t kFramesPerBlock = 1024;
// The popover checks access each time it opens: a local connect takes a few
// milliseconds, so a server that needs longer is reported as not determined
// and asked again, more patiently, by requestAccess().
constexpr auto kStatusTimeout = 150ms;
constexpr auto kRequestTimeout = 2s;
// Every wait of the session for the server (connect, look-ups, stream start).
constexpr pa_usec_t kServerTimeoutUsec = 1'000'000;

MicrophoneAuthorization statusForConnectError(int error) {
  if (error == PA_ERR_ACCESS || error == PA_ERR_AUTHKEY) return MicrophoneAuthorization::denied;
  return MicrophoneAuthorization::restricted;
}

// Connects a client on a private loop of the calling thread and lets it go.
MicrophoneAuthorization probeSoundServer(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  pulse::Mainloop loop(pa_mainloop_new());
  if (!loop) return MicrophoneAuthorization::restricted;
  pulse::Context context(pa_context_new(pa_mainloop_get_api(loop.get()), kClientName));
  if (!context) return MicrophoneAuthorization::restricted;
  // No autospawn: starting a server is not ours to do, and it would be slow.
  if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
    return statusForConnectError(pa_context_errno(context.get()));
  for (;;) {
    pa_context_state_t state = pa_context_get_state(context.get());
    if (state == PA_CONTEXT_READY) return MicrophoneAuthorization::authorized;
    if (!PA_CONTEXT_IS_GOOD(state)) return statusForConnectError(pa_context_errno(context.get()));
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return MicrophoneAuthorization::notDetermined;
    if (pa_mainloop_prepare(loop.get(), static_cast<int>(left.count())) < 0 || pa_mainloop_poll(loop.get()) < 0 ||
        pa_mainloop_dispatch(loop.get()) < 0)
      return MicrophoneAuthorization::restricted;
  }
}

class PulseMicrophoneAccess final : public MicrophoneAccess {
 public:
  MicrophoneAuthorization authorizationStatus() override { return probeSoundServer(kStatusTimeout); }

  void requestAccess(std::function<void(bool granted)> completion) override {
    queue_.async([completion = std::move(completion)] {
      completion(probeSoundServer(kRequestTimeout) == MicrophoneAuthorization::authorized);
    });
  }

 private:
  SerialQueue queue_{"com.quillon.moxiscope.MicrophoneAccess"};
};

class PulseMicrophoneSession final : public MicrophoneSession {
 public:
  PulseMicrophoneSession() {
    loop_.reset(pa_threaded_mainloop_new());
    if (!loop_) return;
    pa_threaded_mainloop_set_name(loop_.get(), "moxi-microphone");
    if (pa_threaded_mainloop_start(loop_.get()) < 0) loop_.reset();
  }

  ~PulseMicrophoneSession() override {
    recovering_ = false;
    recovery_.drain();
    {
      std::lock_guard operations(operations_);
      if (loop_) {
        pulse::MainloopLock lock(loop_.get());
        activeRun_->store(0);
        running_ = false;
        resetStreamLocked();
        context_.reset();
      }
    }
    loop_.reset();  // joins the loop's thread, so no callback outlives us
  }

  MicrophoneConfiguration configure() override {
    std::lock_guard operations(operations_);
    MicrophoneConfiguration result;
    if (!loop_) {
      result.inputError = "the sound client could not start";
      return result;
    }
    pulse::MainloopLock lock(loop_.get());
    // A session left running feeds its new output at once, as before.
    bool wasRunning = running_;
    removeOutputLocked();

    std::string error;
    if (!connectLocked(error)) {
      result.inputError = error;
      return result;
    }
    std::optional<std::string> microphone = defaultMicrophoneLocked(error);
    if (!error.empty()) {
      result.inputError = error;
    } else if (!microphone) {
      // The old input named a source that is not the microphone any more.
      result.noDevice = true;
      source_.clear();
    } else {
      // One input at a time: the one a previous recording added stays when it
      // is still the default microphone, and is replaced when it is not.
      source_ = *microphone;
      result.inputAdded = true;
    }

    replaceStreamLocked(newStreamLocked());
    result.outputAdded = outputAdded_ = stream_ != nullptr;
    if (wasRunning && !connectStreamLocked(error) && !error.empty())
      logLine("Couldn't start the microphone: " + error);
    return result;
  }

  void setSampleBufferDelegate(std::function<void(AudioBuffer)> handler, SerialQueue& queue) override {
    std::lock_guard operations(operations_);
    auto shared = std::make_shared<const std::function<void(AudioBuffer)>>(std::move(handler));
    if (!loop_) return;
    pulse::MainloopLock lock(loop_.get());
    handler_ = std::move(shared);
    queue_ = &queue;
  }

  void startRunning() override {
    std::lock_guard operations(operations_);
    if (!loop_) return;
    pulse::MainloopLock lock(loop_.get());
    if (running_) return;
    std::string error;
    if (!connectStreamLocked(error) && !error.empty()) logLine("Couldn't start the microphone: " + error);
  }

  void stopRunning() override {
    recovering_ = false;
    std::lock_guard operations(operations_);
    if (!loop_) return;
    pulse::MainloopLock lock(loop_.get());
    recovering_ = false;
    activeRun_->store(0);
    running_ = false;
    resetStreamLocked();  // disconnects without waiting for the server
    clock_.reset();
  }

  bool isRunning() const override { return running_; }

  void setInterruptionHandler(std::function<void(bool lost, const std::string& what)> handler) override {
    std::lock_guard operations(operations_);
    if (!loop_) return;
    pulse::MainloopLock lock(loop_.get());
    interruption_ = std::move(handler);
  }

 private:
  pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_.get()); }
  bool contextReady() const { return context_ && pa_context_get_state(context_.get()) == PA_CONTEXT_READY; }
  std::string contextError() const {
    return context_ ? pa_strerror(pa_context_errno(context_.get())) : "no connection to the sound server";
  }

  // Waits with the loop's lock held until `done` holds, the connection dies
  // or the time runs out; returns `done`.
  bool waitLocked(const std::function<bool()>& done) {
    struct Timer {
      pa_threaded_mainloop* loop = nullptr;
      bool expired = false;
    } timer;
    timer.loop = loop_.get();
    pulse::TimeEvent event(
        api(), pa_context_rttime_new(
                   context_.get(), pa_rtclock_now() + kServerTimeoutUsec,
                   [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
                     auto* t = static_cast<Timer*>(userdata);
                     t->expired = true;
                     pa_threaded_mainloop_signal(t->loop, 0);
                   },
                   &timer));
    if (!event) return done();  // without a timer the wait could last forever
    while (!done() && !timer.expired && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get())))
      pa_threaded_mainloop_wait(loop_.get());
    return done();
  }

  // Connects unless the connection is alive; a connection the server dropped
  // is replaced, and its input goes with it.
  bool connectLocked(std::string& error) {
    if (contextReady()) return true;
    resetStreamLocked();
    context_.reset();
    source_.clear();
    context_.reset(pa_context_new(api(), kClientName));
    if (!context_) {
      error = "the sound client could not start";
      return false;
    }
    pa_context_set_state_callback(context_.get(), &PulseMicrophoneSession::onContextState, this);
    if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
        waitLocked([this] { return pa_context_get_state(context_.get()) == PA_CONTEXT_READY; }))
      return true;
    error = PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get())) ? "the sound server did not answer"
                                                                     : contextError();
    context_.reset();
    return false;
  }

  // Runs one query to its end. False (with `error`) when it could not.
  bool queryLocked(pa_operation* raw, const bool& done, std::string& error) {
    pulse::Operation operation(raw);
    if (operation && waitLocked([&done] { return done; })) return true;
    error = contextReady() && operation ? "the sound server did not answer" : contextError();
    return false;
  }

  // The name of the default source when it is a microphone; none when there is
  // none. `error` tells why the server could not be asked.
  std::optional<std::string> defaultMicrophoneLocked(std::string& error) {
    struct Query {
      pa_threaded_mainloop* loop = nullptr;
      bool done = false;
      std::string defaultSource;
      bool found = false;
      bool monitor = false;
    } query;
    query.loop = loop_.get();

    if (!queryLocked(pa_context_get_server_info(
                         context_.get(),
                         [](pa_context*, const pa_server_info* info, void* userdata) {
                           auto* q = static_cast<Query*>(userdata);
                           if (info && info->default_source_name) q->defaultSource = info->default_source_name;
                           q->done = true;
                           pa_threaded_mainloop_signal(q->loop, 0);
                         },
                         &query),
                     query.done, error))
      return std::nullopt;
    if (query.defaultSource.empty()) return std::nullopt;

    query.done = false;
    if (!queryLocked(pa_context_get_source_info_by_name(
                         context_.get(), query.defaultSource.c_str(),
                         [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
                           auto* q = static_cast<Query*>(userdata);
                           if (info) {
                             q->found = true;
                             q->monitor = info->monitor_of_sink != PA_INVALID_INDEX;
                           }
                           if (eol != 0) {
                             q->done = true;  // a failed look-up (eol < 0) means the source is gone
                             pa_threaded_mainloop_signal(q->loop, 0);
                           }
                         },
                         &query),
                     query.done, error))
      return std::nullopt;
    // A monitor would record what the desktop plays, not the user's voice.
    if (!query.found || query.monitor) return std::nullopt;
    return query.defaultSource;
  }

  void removeOutputLocked() {
    recovering_ = false;
    activeRun_->store(0);
    running_ = false;
    resetStreamLocked();
    clock_.reset();
    outputAdded_ = false;
  }

  pa_stream* newStreamLocked() {
    if (!contextReady()) return nullptr;
    // Mono signed 16-bit at 44100 Hz whatever the microphone gives: the server converts.
    pa_sample_spec spec{PA_SAMPLE_S16NE, kSampleRate, kChannels};
    pa_channel_map map;
    pa_channel_map_init_mono(&map);
    return pa_stream_new(context_.get(), "Microphone", &spec, &map);
  }

  // Connects the output to the input and waits until sound can flow. False
  // with an empty `error` when there is nothing to connect.
  bool connectStreamLocked(std::string& error, int64_t notBeforeNs = INT64_MIN) {
    if (source_.empty() || !outputAdded_) return false;
    if (!contextReady()) {
      error = contextError();
      return false;
    }
    if (!stream_ || pa_stream_get_state(stream_.get()) != PA_STREAM_UNCONNECTED) replaceStreamLocked(newStreamLocked());
    if (!stream_) {
      error = contextError();
      return false;
    }
    pa_stream* s = stream_.get();
    pa_stream_set_state_callback(s, &PulseMicrophoneSession::onStreamState, this);
    pa_stream_set_read_callback(s, &PulseMicrophoneSession::onRead, this);
    pa_stream_set_overflow_callback(s, &PulseMicrophoneSession::onOverflow, this);
    pa_stream_set_latency_update_callback(s, &PulseMicrophoneSession::onLatencyUpdate, this);

    ++runId_;
    activeRun_->store(runId_);
    notBeforeNs_ = notBeforeNs;
    clock_.reset();
    measurement_.reset();
    lossReported_ = false;

    // Fragments of one block make the server deliver about every 23 ms and
    // keep its latency that short. The stream stays on this microphone: if it
    // goes away the recording goes on without sound rather than picking up
    // whatever source the server falls back to (often a monitor).
    pa_buffer_attr attributes;
    std::memset(&attributes, 0xff, sizeof attributes);  // server defaults
    attributes.fragsize = static_cast<uint32_t>(kFramesPerBlock * kFrameBytes);
    // Timing reports come by themselves, ever less often (at last every
    // 1.5 s), which is plenty to follow a drifting sound card.
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                                PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(s, source_.c_str(), &attributes, flags) >= 0 &&
        waitLocked([s] { return pa_stream_get_state(s) != PA_STREAM_CREATING; }) &&
        pa_stream_get_state(s) == PA_STREAM_READY) {
      running_ = true;
      return true;
    }
    error = contextError();
    activeRun_->store(0);
    resetStreamLocked();
    return false;
  }

  void deliverLocked(AudioBuffer block) {
    if (!queue_ || !handler_ || !*handler_) return;
    // A server started afresh may hand over sound of before we were back
    // (a generator's buffer): in the recording that is the gap, kept silent.
    if (block.presentationTimeNs < notBeforeNs_) {
      const auto drop = static_cast<size_t>((notBeforeNs_ - block.presentationTimeNs) * kSampleRate / 1'000'000'000) *
                        kChannels;
      if (drop >= block.samples.size()) return;
      block.samples.erase(block.samples.begin(), block.samples.begin() + static_cast<std::ptrdiff_t>(drop));
      block.presentationTimeNs += framesToNs(static_cast<int64_t>(drop / kChannels));
    }
    queue_->async([handler = handler_, active = activeRun_, run = runId_, block = std::move(block)]() mutable {
      if (active->load() == run) (*handler)(std::move(block));
    });
  }

  // The server or the microphone went away mid-recording.
  void lostLocked(const char* what, int error) {
    if (!running_) return;
    running_ = false;
    source_.clear();  // the input went with the microphone or the server
    clock_.flush([this](AudioBuffer b) { deliverLocked(std::move(b)); });
    if (!lossReported_) {
      lossReported_ = true;
      logLine(std::string("Microphone lost: ") + what + " (" + pa_strerror(error) +
              "), the recording goes on without audio");
    }
    if (recovering_.exchange(true)) return;
    if (interruption_) interruption_(true, what);
    recovery_.async([this] { recover(); });
  }

  // Looks for the server and a microphone again, a few times a second, until
  // one is back or the run is stopped. Off the loop's thread: it waits for it.
  void recover() {
    using namespace std::chrono_literals;
    for (;;) {
      for (int i = 0; i < 25 && recovering_; ++i) std::this_thread::sleep_for(10ms);
      std::lock_guard operations(operations_);
      if (!recovering_ || !loop_) return;
      pulse::MainloopLock lock(loop_.get());
      if (!recovering_) return;
      std::string error;
      if (!connectLocked(error)) continue;
      std::optional<std::string> microphone = defaultMicrophoneLocked(error);
      if (!microphone) continue;
      source_ = *microphone;
      // What the server hands over at once is of before it was back: the gap.
      if (!connectStreamLocked(error, monotonicNanos())) continue;
      recovering_ = false;
      logLine("Microphone back: " + source_ + ", the recording has silence where it was gone");
      if (interruption_) interruption_(false, source_);
      return;
    }
  }

  static void onContextState(pa_context* c, void* userdata) {
    auto* self = static_cast<PulseMicrophoneSession*>(userdata);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) self->lostLocked("the sound server went away", pa_context_errno(c));
    pa_threaded_mainloop_signal(self->loop_.get(), 0);
  }

  static void onStreamState(pa_stream* s, void* userdata) {
    auto* self = static_cast<PulseMicrophoneSession*>(userdata);
    pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
      // Our own disconnects detach this callback first: this is the server's doing.
      pa_context* c = pa_stream_get_context(s);
      self->lostLocked(PA_CONTEXT_IS_GOOD(pa_context_get_state(c)) ? "the microphone went away"
                                                                   : "the sound server went away",
                       pa_context_errno(c));
    }
    pa_threaded_mainloop_signal(self->loop_.get(), 0);
  }

  static int64_t framesToNs(int64_t frames) { return frames * 1'000'000'000 / kSampleRate; }
  static int64_t bytesToNs(int64_t bytes) { return framesToNs(bytes / static_cast<int64_t>(kFrameBytes)); }

  // Takes a fresh timing report of the server as the link between stream
  // positions and the monotonic clock: the sample at the read position is as
  // old as everything captured after it (what the stream holds, what the
  // source still holds, and the report's trip to us). Reports from before the
  // source delivered anything are no use: they cannot know when it starts.
  void measureLocked(pa_stream* s) {
    const pa_timing_info* timing = pa_stream_get_timing_info(s);
    if (!timing || timing->write_index_corrupt || timing->read_index_corrupt || timing->write_index <= 0) return;
    int64_t capturedNs =
        bytesToNs(timing->write_index) + static_cast<int64_t>(timing->transport_usec + timing->source_usec) * 1000;
    // A monitor's sound exists only once its sink has played it.
    capturedNs = std::max<int64_t>(0, capturedNs - static_cast<int64_t>(timing->sink_usec) * 1000);
    int64_t ageNs = capturedNs - bytesToNs(timing->read_index);
    measurement_ = Measurement{timing->read_index, monotonicNanos() - ageNs, true};
  }

  void requestTimingLocked(pa_stream* s) {
    if (timingRequest_ && pa_operation_get_state(timingRequest_.get()) == PA_OPERATION_RUNNING) return;
    timingRequest_.reset(pa_stream_update_timing_info(s, nullptr, nullptr));
  }

  static void onLatencyUpdate(pa_stream* s, void* userdata) {
    auto* self = static_cast<PulseMicrophoneSession*>(userdata);
    self->measureLocked(s);
    self->readLocked(s);
  }

  static void onRead(pa_stream* s, size_t, void* userdata) {
    static_cast<PulseMicrophoneSession*>(userdata)->readLocked(s);
  }

  static void onOverflow(pa_stream*, void* userdata) {
    // The server dropped sound we did not read in time: positions no longer
    // map to the clock as measured.
    auto* self = static_cast<PulseMicrophoneSession*>(userdata);
    self->measurement_.reset();
    self->clock_.markDiscontinuity();
  }

  // Sound waits in the stream until a timing report places it on the clock.
  void readLocked(pa_stream* s) {
    auto emit = [this](AudioBuffer b) { deliverLocked(std::move(b)); };
    for (;;) {
      size_t readable = pa_stream_readable_size(s);
      if (readable == 0 || readable == static_cast<size_t>(-1)) return;
      const pa_timing_info* timing = pa_stream_get_timing_info(s);
      if (!measurement_ || !timing || timing->read_index_corrupt) {
        requestTimingLocked(s);
        return;
      }
      // Only a fresh report is a measurement; between reports the sample count rules.
      std::optional<int64_t> startNs;
      if (std::exchange(measurement_->fresh, false))
        startNs = measurement_->timeNs + bytesToNs(timing->read_index - measurement_->readIndex);
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) return;
      size_t frames = bytes / kFrameBytes;
      if (data) {
        // Copied out: the server's chunk need not be aligned for int16_t.
        scratch_.resize(frames * kChannels);
        std::memcpy(scratch_.data(), data, frames * kFrameBytes);
        clock_.push(scratch_, startNs, emit);
      } else {
        clock_.pushSilence(frames, startNs, emit);  // a hole: sound the server lost
      }
      pa_stream_drop(s);
    }
  }

  // A stream's pending timing request goes first: it points into the stream.
  void resetStreamLocked() { replaceStreamLocked(nullptr); }
  void replaceStreamLocked(pa_stream* s) {
    timingRequest_.reset();
    measurement_.reset();
    stream_.reset(s);
  }

  std::mutex operations_;  // one public operation at a time

  // Everything below is touched with the loop's lock held.
  pulse::ThreadedMainloop loop_;
  pulse::Context context_;
  pulse::Stream stream_;  // the output, connected while running
  std::string source_;    // the input: the microphone's source name, empty when none
  bool outputAdded_ = false;
  std::atomic<bool> running_{false};
  bool lossReported_ = false;
  std::shared_ptr<const std::function<void(AudioBuffer)>> handler_;
  SerialQueue* queue_ = nullptr;
  // Blocks carry the run they belong to; those of a stopped run are dropped.
  uint64_t runId_ = 0;
  std::shared_ptr<std::atomic<uint64_t>> activeRun_ = std::make_shared<std::atomic<uint64_t>>(0);
  AudioBlockClock clock_{kSampleRate, kChannels, kFramesPerBlock};
  struct Measurement {
    int64_t readIndex;  // bytes into the stream
    int64_t timeNs;     // when the sample there was captured
    bool fresh;         // not yet handed to the clock
  };
  std::optional<Measurement> measurement_;
  pulse::Operation timingRequest_;
  std::vector<int16_t> scratch_;
  std::function<void(bool lost, const std::string& what)> interruption_;
  // Set from the loss until the sound is back or the run stops.
  std::atomic<bool> recovering_{false};
  int64_t notBeforeNs_ = INT64_MIN;  // sound stamped earlier is not delivered
  SerialQueue recovery_{"com.quillon.moxiscope.MicrophoneRecovery"};
};

}  // namespace

std::unique_ptr<MicrophoneAccess> makeMicrophoneAccess() { return std::make_unique<PulseMicrophoneAccess>(); }
std::unique_ptr<MicrophoneSession> makeMicrophoneSession() { return std::make_unique<PulseMicrophoneSession>(); }

}  // namespace moxi

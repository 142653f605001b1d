#pragma once
// Owners of PulseAudio client objects, so that no logic code frees them by hand.
//
// Objects that belong to a threaded main loop (contexts, streams, operations,
// timers) must be released with that loop's lock held; owners of such objects
// are reset inside a MainloopLock scope.
#include <pulse/pulseaudio.h>

#include <memory>

namespace moxi::pulse {

struct MainloopDeleter {
  void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};
// Stops the loop's thread (never call from that thread), then frees it.
struct ThreadedMainloopDeleter {
  void operator()(pa_threaded_mainloop* m) const {
    pa_threaded_mainloop_stop(m);
    pa_threaded_mainloop_free(m);
  }
};
// Detaches the callbacks first: the owner of their userdata may be going away.
struct ContextDeleter {
  void operator()(pa_context* c) const {
    pa_context_set_state_callback(c, nullptr, nullptr);
    pa_context_disconnect(c);
    pa_context_unref(c);
  }
};
struct StreamDeleter {
  void operator()(pa_stream* s) const {
    pa_stream_set_state_callback(s, nullptr, nullptr);
    pa_stream_set_read_callback(s, nullptr, nullptr);
    pa_stream_set_overflow_callback(s, nullptr, nullptr);
    pa_stream_set_latency_update_callback(s, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(s))) pa_stream_disconnect(s);
    pa_stream_unref(s);
  }
};
// A pending operation is cancelled, so its callback never sees a dead userdata.
struct OperationDeleter {
  void operator()(pa_operation* o) const {
    if (pa_operation_get_state(o) == PA_OPERATION_RUNNING) pa_operation_cancel(o);
    pa_operation_unref(o);
  }
};

using Mainloop = std::unique_ptr<pa_mainloop, MainloopDeleter>;
using ThreadedMainloop = std::unique_ptr<pa_threaded_mainloop, ThreadedMainloopDeleter>;
using Context = std::unique_ptr<pa_context, ContextDeleter>;
using Stream = std::unique_ptr<pa_stream, StreamDeleter>;
using Operation = std::unique_ptr<pa_operation, OperationDeleter>;

// A timer event of a main loop; freed through the loop's own API.
class TimeEvent {
 public:
  TimeEvent() = default;
  TimeEvent(const pa_mainloop_api* api, pa_time_event* event) : api_(api), event_(event) {}
  ~TimeEvent() { reset(); }
  TimeEvent(const TimeEvent&) = delete;
  TimeEvent& operator=(const TimeEvent&) = delete;
  void reset() {
    if (event_) api_->time_free(event_);
    event_ = nullptr;
  }
  explicit operator bool() const { return event_ != nullptr; }

 private:
  const pa_mainloop_api* api_ = nullptr;
  pa_time_event* event_ = nullptr;
};

// Holds a threaded main loop's lock for a scope.
class MainloopLock {
 public:
  explicit MainloopLock(pa_threaded_mainloop* m) : m_(m) { pa_threaded_mainloop_lock(m_); }
  ~MainloopLock() { pa_threaded_mainloop_unlock(m_); }
  MainloopLock(const MainloopLock&) = delete;
  MainloopLock& operator=(const MainloopLock&) = delete;

 private:
  pa_threaded_mainloop* m_;
};

}  // namespace moxi::pulse

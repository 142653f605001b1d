#pragma once
// The X11 stream's state, shared by the stream object
// (x11_capture_stream.cpp) and its capture thread (x11_capturer.cpp).
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "capture/frame_pacer.h"
#include "common/event_wakeup.h"
#include "platform/x11/x11_capture_stream.h"
#include "platform/x11/xcb.h"

namespace moxi {

struct X11CaptureStream::Impl {
  ContentFilter filter;
  xcb::Connection conn;
  std::string unavailable;
  // Wakes the capture thread from its wait on the X connection. Shared with
  // the buffer pool's release callback, which may run after the stream is gone.
  std::shared_ptr<EventWakeup> wake = std::make_shared<EventWakeup>();
  uint8_t damageEventBase = 0;
  uint8_t xfixesEventBase = 0;

  std::mutex mutex;  // guards the fields up to `captureThread`
  StreamConfiguration config;
  bool configChanged = false;
  bool started = false;
  std::thread captureThread;

  std::mutex joinMutex;  // serialises joining the capture thread
  std::atomic<bool> stopRequested{false};
  FrameOutput output;
  StopperThreads stoppers;  // each runs one stopCapture completion

  std::atomic<uint64_t> failed{0}, damageEvents{0};
  std::atomic<bool> windowClosed{false};

  Impl(ContentFilter f, StreamConfiguration c, const std::string& displayName)
      : filter(std::move(f)), conn(displayName.empty() ? nullptr : displayName.c_str()), config(std::move(c)) {
    unavailable = checkDisplay();
  }

  std::string checkDisplay();
  void stopAndJoin();
  void run();
};

}  // namespace moxi

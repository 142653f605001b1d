#pragma once
// The PipeWire stream's state, shared by its connection and lifetime
// (pipewire_capture_stream.cpp) and its frames (pipewire_capture_frames.cpp).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "capture/frame_pacer.h"
#include "capture/pixel_ops.h"
#include "platform/wayland/pipewire.h"
#include "platform/wayland/pipewire_capture_stream.h"
#include "platform/wayland/pipewire_cursor.h"
#include "platform/wayland/pipewire_formats.h"
#include "platform/wayland/pipewire_window_area.h"

namespace moxi {

// Lets the buffer pool's release callback, which may run on any thread and
// after the stream is gone, wake the PipeWire thread while it exists.
struct PipeWireWaker {
  std::mutex mutex;
  pw_loop* loop = nullptr;
  spa_source* event = nullptr;
  void signal() {
    std::lock_guard lock(mutex);
    if (loop && event) pw_loop_signal_event(loop, event);
  }
  void detach() {
    std::lock_guard lock(mutex);
    loop = nullptr;
    event = nullptr;
  }
};

struct PipeWireCaptureStream::Impl {
  const uint32_t nodeID;
  CursorHandler cursorHandler;
  std::string unavailable;

  pipewire::ThreadLoop loop;
  pipewire::Context context;
  pipewire::Core core;
  pipewire::Proxy registry;
  pipewire::Stream stream;
  pipewire::Hook coreHook, registryHook, streamHook;
  pipewire::LoopSource wakeEvent, paceTimer;
  std::shared_ptr<PipeWireWaker> waker = std::make_shared<PipeWireWaker>();

  std::mutex mutex;  // guards the fields up to `endedReason`
  StreamConfiguration config;
  bool configChanged = false;
  bool started = false;
  std::optional<Size> sourceSize;
  EndedHandler endedHandler;
  std::optional<std::string> endedReason;  // the stream ended and the handler has yet to hear it
  std::thread endedThread;

  std::atomic<bool> stopped{false};
  std::atomic<bool> ended{false};
  std::atomic<bool> formatUnreadable{false};  // it ended over the desktop's colour format
  std::atomic<bool> shutDown{false};
  FrameOutput output;
  StopperThreads stoppers;  // each runs one stopCapture completion
  std::atomic<uint64_t> unchanged{0}, unusable{0}, received{0}, formatChanges{0};

  // PipeWire thread only (its loop lock held).
  int syncSeq = -1;
  bool syncDone = false;
  bool nodeSeen = false;
  std::string connectError;
  bool wasStreaming = false;
  StreamConfiguration active;
  std::optional<VideoFormat> format;
  bool wantFullFrame = true;  // the first buffer of a format carries the whole image
  WindowArea area;            // of the last copied buffer
  uint32_t transform = 0;     // of the last copied buffer (SPA_META_VideoTransform)
  std::shared_ptr<PixelBuffer> staging;  // the newest content: the window, upright, BGRA
  std::shared_ptr<PixelBuffer> turning, turningScratch;  // a turned window on its way upright
  std::shared_ptr<PixelBuffer> composing, evenScratch;   // a frame on its way to the encoder's I420
  int64_t contentTime = 0;
  bool contentPending = false;
  bool cursorPending = false;
  CursorTracker cursor;
  StreamCursor reportedCursor;
  int lockedWidth = 0, lockedHeight = 0;  // output size when the configuration leaves it to the source
  int64_t lastTime = 0;
  FramePacer pacer;
  PixelBufferPool pool;

  Impl(PipeWireSource source, StreamConfiguration c, CursorHandler cursorCallback)
      : nodeID(source.nodeID),
        cursorHandler(std::move(cursorCallback)),
        config(c),
        active(c),
        pacer(output, c.queueDepth),
        pool(pacer.maxQueueDepth() + 1) {
    pool.setReleaseCallback([w = waker] { w->signal(); });
    unavailable = connect(source.fd);
  }

  std::string connect(int fd);
  void shutdown();
  void stop();
  void endWith(const std::string& reason);
  void createStream();

  void onFormat(const spa_pod* param);
  void onProcess();
  void handleBuffer(pw_buffer* b);
  bool copyContent(const spa_buffer* buf);
  void reportCursor();
  // The pointer in the staged picture's pixels.
  std::pair<double, double> cursorInPicture() const;
  void onWake();
  void tryDeliver();
  bool render(int64_t time);
  void armTimer(int64_t ns);
};

}  // namespace moxi

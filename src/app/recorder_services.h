#pragma once
// The platform services the recorder drives, gathered so that tests can give
// the controller fakes and the program gives it the real X11, FFmpeg and
// PulseAudio ones.
#include <QUrl>
#include <functional>
#include <memory>
#include <string>

#include "app/user_notice.h"
#include "capture/capture_stream.h"
#include "capture/microphone.h"
#include "capture/recording_writer.h"
#include "capture/window_server.h"
#include "handoff/pointer_monitor.h"
#include "ui/highlight_window_controller.h"

namespace moxi {

struct RecorderServices {
  std::shared_ptr<WindowServer> windowServer;
  std::function<std::unique_ptr<CaptureStream>(const ContentFilter&, const StreamConfiguration&)> makeCaptureStream;
  std::function<std::unique_ptr<RecordingWriter>(const std::string& path, std::string& error)> makeWriter;
  std::shared_ptr<MicrophoneAccess> microphoneAccess;
  std::shared_ptr<MicrophoneSession> microphoneSession;
  std::shared_ptr<PointerMonitor> pointerMonitor;
  std::function<std::unique_ptr<HighlightWindowController>(int64_t windowNumber)> makeOverlay;
  // The "Video is ready!" question: true when the user picks "Copy".
  std::function<bool()> askToCopy;
  std::function<bool(const QUrl&)> copyToClipboard;
  std::function<bool(const QUrl&)> openURL;
  // Tells the user about a saved movie or a failure; called on the main thread.
  std::function<void(const UserNotice&)> notifyUser;
  // The pointer in screen coordinates (origin bottom left) and the main
  // screen's height, for the quick record.
  std::function<Point()> pointerLocation;
  std::function<std::optional<double>()> mainScreenHeight;
  bool createHotKey = true;

  // The real services of this desktop.
  static RecorderServices platform();
};

}  // namespace moxi

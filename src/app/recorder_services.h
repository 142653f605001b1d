#pragma once
// The platform services the recorder drives, gathered so that tests can give
// the controller fakes and the program gives it the real X11, FFmpeg and
// PulseAudio ones.
#include <QUrl>
#include <functional>
#include <memory>
#include <string>

#include "app/platform_choice.h"
#include "app/user_notice.h"
#include "capture/capture_stream.h"
#include "capture/microphone/microphone.h"
#include "capture/source_picker.h"
#include "capture/window_server.h"
#include "capture/writer/recording_writer.h"
#include "handoff/pointer_monitor.h"
#include "hotkey/hot_key_service.h"
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
  // Closes an open question as "Cancel" (its askToCopy then returns false).
  std::function<void()> dismissAskToCopy;
  std::function<bool(const QUrl&)> copyToClipboard;
  std::function<bool(const QUrl&)> openURL;
  // Tells the user about a saved movie or a failure; called on the main thread.
  std::function<void(const UserNotice&)> notifyUser;
  // The pointer in screen coordinates (origin bottom left) and the main
  // screen's height, for the quick record.
  std::function<Point()> pointerLocation;
  std::function<std::optional<double>()> mainScreenHeight;
  // The system-wide hot key's service, where keys can be grabbed; without
  // one the controller makes no hot key.
  std::function<std::unique_ptr<hotkey::HotKeyService>()> makeHotKeyService;
  // Where windows are chosen in the desktop's own picker (Wayland).
  std::shared_ptr<SourcePicker> sourcePicker;
  // Binds the desktop's own shortcut for the hot key, where keys cannot be
  // grabbed; what it returns keeps the binding alive.
  std::function<std::shared_ptr<QObject>(std::function<void()> pressed)> bindShortcut;
  // The popover's help, when this desktop works otherwise than the usual one.
  std::function<QString()> helpText;
  // Said in the popover while it applies: what this desktop cannot do.
  std::function<QString()> popoverNote;

  // The real services of the desktop the program runs on.
  static RecorderServices platform(DesktopPlatform desktop);
  // What every desktop shares: the writer, the microphone and the hand-over.
  static RecorderServices common();
  // `common` completed with each desktop's own services (src/platform/…).
  static RecorderServices x11(RecorderServices common);
  static RecorderServices wayland(RecorderServices common);
};

}  // namespace moxi

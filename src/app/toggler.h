#pragma once
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "app/recorder_services.h"
#include "app/recorder_settings.h"
#include "capture/capturable_window.h"
#include "capture/sample_buffer.h"
#include "common/geometry.h"
#include "common/serial_queue.h"
#include "handoff/mouse_event.h"
#include "handoff/recording_journal.h"
#include "handoff/recovery.h"

namespace moxi {

class Popover;
class StatusButton;
class WindowListModel;
namespace hotkey {
class HotKey;
}

// The one recorder controller: the state the popover shows, the persisted
// switches, and everything one recording needs.
//
// Threads: published state, the overlay, the timer, the pointer log and the
// capture stream objects live on the main thread; the writer is opened, fed
// and finished on videoSampleBufferQueue; sound is appended on
// audioSampleBufferQueue. The stop hands each recording's writer, file,
// window size and pointer log to its own finish, so a recording started
// right after a stop cannot change what the earlier one exports.
class Toggler : public QObject {
  Q_OBJECT
  Q_PROPERTY(QObject* allwindows READ allwindowsModel CONSTANT)
  Q_PROPERTY(bool permissionError READ permissionError NOTIFY permissionErrorChanged)
  Q_PROPERTY(bool hasMicPermission READ hasMicPermission NOTIFY hasMicPermissionChanged)
  Q_PROPERTY(bool showingAlert READ showingAlert WRITE setShowingAlert NOTIFY showingAlertChanged)
  Q_PROPERTY(bool showDialog READ showDialog WRITE setShowDialog NOTIFY showDialogChanged)
  Q_PROPERTY(bool cursorOn READ cursorOn WRITE setCursorOn NOTIFY cursorOnChanged)
  Q_PROPERTY(bool captureMicrophone READ captureMicrophone WRITE setCaptureMicrophone NOTIFY captureMicrophoneChanged)
  Q_PROPERTY(bool windowAudioOn READ windowAudioOn WRITE setWindowAudioOn NOTIFY windowAudioOnChanged)
  Q_PROPERTY(bool capturePopups READ capturePopups WRITE setCapturePopups NOTIFY capturePopupsChanged)
  Q_PROPERTY(bool popoverShown READ popoverShown NOTIFY popoverShownChanged)
  Q_PROPERTY(QString buttonTitle READ buttonTitle NOTIFY buttonTitleChanged)
  Q_PROPERTY(QString helpText READ helpText NOTIFY popoverNoteChanged)
  Q_PROPERTY(QString popoverNote READ popoverNote NOTIFY popoverNoteChanged)

 public:
  Toggler(Popover* popover, StatusButton* button, RecorderServices services, QObject* parent = nullptr);
  ~Toggler() override;

  // Published state.
  const std::vector<CapturableWindow>& allwindows() const { return allwindows_; }
  QObject* allwindowsModel() const;
  WindowListModel* windowListModel() const { return windowListModel_.get(); }
  bool permissionError() const { return permissionError_; }
  bool hasMicPermission() const { return hasMicPermission_; }
  bool showingAlert() const { return showingAlert_; }
  void setShowingAlert(bool value);

  // Persisted switches.
  bool showDialog() const { return RecorderSettings::read(RecorderSettings::showDialogKey); }
  bool cursorOn() const { return RecorderSettings::read(RecorderSettings::cursorOnKey); }
  bool captureMicrophone() const { return RecorderSettings::read(RecorderSettings::captureMicrophoneKey); }
  bool windowAudioOn() const { return RecorderSettings::read(RecorderSettings::windowAudioOnKey); }
  bool capturePopups() const { return RecorderSettings::read(RecorderSettings::capturePopupsKey); }
  void setShowDialog(bool v);
  void setCursorOn(bool v);
  void setCaptureMicrophone(bool v);
  void setWindowAudioOn(bool v);
  void setCapturePopups(bool v);

  bool popoverShown() const;
  QString helpText() const;
  QString popoverNote() const { return popoverNote_; }
  QString buttonTitle() const;
  bool recording() const { return recording_; }
  bool doneRecording() const { return doneRecording_; }
  // A stream runs but its first frame has not come yet.
  bool armed() const { return stream_ != nullptr && !recording_; }
  Size videoSize() const { return videoSize_; }
  const std::vector<MouseEvent>& mouseEvents() const { return mouseEvents_; }
  bool mouseEventsRegistered() const { return mouseEventsRegistered_; }
  std::optional<CaptureWindow> capturedWindow() const { return capturedWindow_; }
  std::optional<CaptureDisplay> sharedDisplay() const;
  HighlightWindowController* hv() const { return hv_.get(); }
  bool timerRunning() const { return timer_ != nullptr; }
  Rect lastFrame() const { return lastFrame_; }
  const SerialQueue& videoSampleBufferQueue() const { return videoSampleBufferQueue_; }
  const SerialQueue& audioSampleBufferQueue() const { return audioSampleBufferQueue_; }

  // Tray icon click: close the popover, stop a recording (or call off one
  // still waiting for its first frame), or open the popover.
  void handleStatusItemClick();
  // Ctrl+F1 and --toggle: stop a recording, call off a start, or record the
  // window under the pointer. `answered` hears, once, an empty text or why
  // nothing was done ("no window to record under the pointer").
  void hotKeyPressed(std::function<void(const QString&)> answered = {});
  // --stop: stops a recording, or calls off a start still waiting for its first frame.
  void stopOrCancel();
  // The recordings a crash left without a movie are exported, in the
  // background; the user hears of them once.
  void recoverInterrupted();

  Q_INVOKABLE void startElapsedTimer();
  Q_INVOKABLE void closePopover();
  Q_INVOKABLE void checkMicrophonePermission(bool showAlert);
  Q_INVOKABLE void openPermissionsPanel();
  // Finishes a running recording, waits for its file, then quits.
  Q_INVOKABLE void quit();
  // A row of the popover: the catalogue entry with that window number.
  Q_INVOKABLE void startRecordingWindow(double windowID);

  void refreshWindows();
  // Callable from any thread; the work happens on the main thread.
  void startRecording(const CaptureWindow& window);
  void stopRecording();
  void update();
  void followCapturedWindow();
  void showHighlight(const CaptureWindow& window);
  void recordWindowUnderPointer(Point bottomLeftPointer, std::function<void(const QString&)> answered = {});
  // Where the desktop picks the window: asks it (or takes the last choice
  // again), then records what was picked.
  void pickAndRecord(bool again);

  // Waits (running the event loop) until every stopped recording has been
  // finished and exported, or `timeoutMs` passes. True when none is left.
  bool waitForPendingFinishes(int timeoutMs);

  // Reaches the user (not only the log), from any thread.
  void tellUser(UserNotice notice);

  // The display is gone: no window, tray or X call can be made any more.
  // Finishes the running recording's file and exports it on the worker
  // threads, waiting here (on the main thread) at most `timeoutMs`, and
  // returns the raw file's path; empty when no recording ran.
  std::string finishWithoutDisplay(int timeoutMs);

 signals:
  void permissionErrorChanged();
  void hasMicPermissionChanged();
  void showingAlertChanged();
  void showDialogChanged();
  void cursorOnChanged();
  void captureMicrophoneChanged();
  void windowAudioOnChanged();
  void capturePopupsChanged();
  void popoverShownChanged();
  void buttonTitleChanged();
  void popoverNoteChanged();
  // A finished recording was exported to `movie` (after the dialog and the
  // open request), or could not be: `movie` is empty then.
  void exportFinished(QUrl raw, QUrl movie);

 private:
  // One recording's writer side, from its first frame to its finish.
  struct Recording;
  // The pointer log as a recording's export reads it, taken at its stop.
  struct LogSnapshot;
  // After the stop: side files, export, notices, the dialog and opening.
  class Handoff;

  // A fresh catalogue; a successful listing also updates sharedDisplay.
  std::optional<std::vector<CapturableWindow>> listWindowsSharingDisplay(
      const std::function<bool(const CaptureWindow&)>& wanted = {});
  void setAllwindows(std::vector<CapturableWindow> windows);
  void setPermissionError(bool value);
  void setHasMicPermission(bool value);
  void setButtonTitle(const QString& title);
  void restoreButtonIcon();
  void removePointerMonitor();
  void stopStream();
  void returnToIdle(const std::string& reason);
  // A start still waiting for its first frame is called off: nothing was written.
  void cancelStart();
  // The first frame came: the side file of the size, and the journal.
  void beginJournal(const std::shared_ptr<Recording>& recording);
  // The pointer log so far into the journal (made first when missing).
  void keepJournal(const std::shared_ptr<Recording>& recording);
  void dropJournal();
  void finishRecovery(std::vector<RecoveredRecording> recovered);
  void quitWhenDone();
  // videoSampleBufferQueue
  void streamDidOutputSampleBuffer(uint64_t generation, const SampleBuffer& sampleBuffer);
  void appendRecordingFrame(uint64_t generation, const CompleteFrame& frame);
  void openRecordingWriter(const std::shared_ptr<Recording>& recording, const CompleteFrame& first);
  void abandonRecording(const std::shared_ptr<Recording>& recording, const std::string& reason);
  void checkWriter(const std::shared_ptr<Recording>& recording);
  // audioSampleBufferQueue
  void captureOutputDidOutputAudio(const AudioBuffer& buffer);
  void stopMicrophone(const std::shared_ptr<Recording>& recording);
  void endSoundWithSilence(const std::shared_ptr<Recording>& recording, int64_t end);

  void finishRawRecording(std::shared_ptr<Recording> recording);
  // Where the recording goes has room for one; tells the user when not.
  bool roomToRecord();

  RecorderServices services_;
  std::unique_ptr<WindowListModel> windowListModel_;
  std::vector<CapturableWindow> allwindows_;
  bool permissionError_ = false;
  bool hasMicPermission_ = false;
  std::atomic<bool> micPermissionForQueues_{false};
  bool showingAlert_ = false;

  SerialQueue videoSampleBufferQueue_{"com.quillon.moxiscope.VideoSampleBufferQueue"};
  SerialQueue audioSampleBufferQueue_{"com.quillon.moxiscope.AudioSampleBufferQueue"};

  std::unique_ptr<CaptureStream> stream_;
  std::vector<std::unique_ptr<CaptureStream>> stoppingStreams_;
  std::optional<CaptureWindow> capturedWindow_;
  std::atomic<double> startTime_{0};
  std::atomic<bool> recording_{false};
  std::atomic<bool> doneRecording_{false};
  // Frames of other streams than the current one are dropped without a word.
  std::atomic<uint64_t> acceptedGeneration_{0};
  uint64_t generation_ = 0;
  // Guards the flags' first-frame transition against the stop, and current_.
  std::mutex stateMutex_;
  std::shared_ptr<Recording> current_;
  // The recording the microphone feeds; it outlives the stop until the last
  // sound before the stop time has come in.
  std::mutex audioMutex_;
  std::shared_ptr<Recording> audioRecording_;
  std::unique_ptr<Handoff> handoff_;

  std::unique_ptr<QTimer> timer_;
  double startDate_ = 0;
  Rect lastFrame_{};
  QPointer<Popover> popOver_;
  QPointer<StatusButton> button_;
  std::shared_ptr<hotkey::HotKey> hotKey_;
  std::shared_ptr<QObject> shortcut_;
  std::unique_ptr<HighlightWindowController> hv_;
  Size videoSize_{1064.0, 860.0};
  std::optional<uint64_t> globalMonitor_;
  bool mouseEventsRegistered_ = false;
  std::vector<MouseEvent> mouseEvents_;
  mutable std::mutex sharedDisplayMutex_;
  std::optional<CaptureDisplay> sharedDisplay_;
  std::atomic<bool> quickRecordSearching_{false};
  std::atomic<bool> quitting_{false};
  std::atomic<bool> quickRecordCancelled_{false};
  bool askingToCopy_ = false;
  std::unique_ptr<QTimer> quitTimer_;
  int64_t quitDeadline_ = 0;
  // The current recording's journal and how much of the pointer log it holds.
  std::unique_ptr<RecordingJournal> journal_;
  std::shared_ptr<Recording> journaled_;
  size_t journaledEvents_ = 0;
  QString popoverNote_;
};

}  // namespace moxi

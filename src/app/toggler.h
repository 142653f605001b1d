#pragma once
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <atomic>
#include <memory>

#include "app/recorder_settings.h"
#include "platform/geometry.h"
#include "platform/serial_queue.h"

namespace moxi {

class Popover;
class StatusButton;

// The one recorder controller: the state the popover shows, the persisted
// switches, and everything one recording needs.
class Toggler : public QObject {
  Q_OBJECT
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

 public:
  Toggler(Popover* popover, StatusButton* button, QObject* parent = nullptr);
  ~Toggler() override;

  // Published state.
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
  QString buttonTitle() const;
  Size videoSize() const { return videoSize_; }
  bool recording() const { return recording_; }
  bool doneRecording() const { return doneRecording_; }
  const SerialQueue& videoSampleBufferQueue() const { return videoSampleBufferQueue_; }
  const SerialQueue& audioSampleBufferQueue() const { return audioSampleBufferQueue_; }

  // Tray icon click: close the popover, stop a recording, or open the popover.
  void handleStatusItemClick();

  Q_INVOKABLE void startElapsedTimer();
  Q_INVOKABLE void closePopover();
  Q_INVOKABLE void checkMicrophonePermission(bool showAlert);
  Q_INVOKABLE void openPermissionsPanel();
  Q_INVOKABLE void quit();
  Q_INVOKABLE void startRecordingWindow(double windowID);
  void refreshWindows();
  void stopRecording();
  void update();

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

 private:
  void setPermissionError(bool value);
  void setHasMicPermission(bool value);
  void setButtonTitle(const QString& title);
  void restoreButtonIcon();

  bool permissionError_ = false;
  bool hasMicPermission_ = false;
  bool showingAlert_ = false;

  SerialQueue videoSampleBufferQueue_{"com.quillon.moxiscope.VideoSampleBufferQueue"};
  SerialQueue audioSampleBufferQueue_{"com.quillon.moxiscope.AudioSampleBufferQueue"};

  double startTime_ = 0;
  std::atomic<bool> recording_{false};
  std::atomic<bool> doneRecording_{false};
  std::unique_ptr<QTimer> timer_;
  double startDate_ = 0;
  Rect lastFrame_{};
  QPointer<Popover> popOver_;
  QPointer<StatusButton> button_;
  Size videoSize_{1064.0, 860.0};
};

}  // namespace moxi

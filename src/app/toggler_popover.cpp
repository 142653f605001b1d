// What the user does to start or stop a recording: the tray icon, the
// popover and its catalogue of windows, and the quick record (the hot key,
// or the desktop's own picker).
#include <QProcess>
#include <QStandardPaths>
#include <QThreadPool>

#include "app/status_button.h"
#include "app/toggler.h"
#include "capture/quick_record.h"
#include "capture/window_catalogue.h"
#include "common/log.h"
#include "ui/popover.h"

namespace moxi {

// ---------------------------------------------------------------- the shell

void Toggler::handleStatusItemClick() {
  if (popoverShown()) {
    closePopover();
    return;
  }
  if (recording_ || armed()) return stopOrCancel();
  QThreadPool::globalInstance()->start([this] { refreshWindows(); });
  if (popOver_) popOver_->showRelativeTo(button_ ? button_->geometry() : QRect());
}

void Toggler::closePopover() {
  if (popOver_) popOver_->performClose();
}

void Toggler::openPermissionsPanel() {
  logLine("open permissions");
  // X11 desktops have no screen-recording permission page; the closest is the
  // desktop's privacy settings, where there are some.
  const std::pair<const char*, QStringList> panels[] = {{"gnome-control-center", {"privacy"}},
                                                        {"systemsettings", {}}};
  for (const auto& [program, args] : panels) {
    if (!QStandardPaths::findExecutable(program).isEmpty()) {
      QProcess::startDetached(program, args);
      return;
    }
  }
}

void Toggler::startRecordingWindow(double windowID) {
  if (services_.sourcePicker)
    if (std::optional<bool> again = services_.sourcePicker->entryPicksAgain(static_cast<uint32_t>(windowID)))
      return pickAndRecord(*again);
  for (const auto& entry : allwindows_)
    if (entry.windowID == static_cast<uint32_t>(windowID)) return startRecording(entry.window);
  logLine("the picked window is no longer in the list");
}

// ---------------------------------------------------------------- catalogue

std::optional<std::vector<CapturableWindow>> Toggler::listWindowsSharingDisplay(
    const std::function<bool(const CaptureWindow&)>& wanted) {
  std::optional<CaptureDisplay> display = sharedDisplay();
  auto list = listWindows(*services_.windowServer, display, wanted);
  if (list) {
    std::lock_guard lock(sharedDisplayMutex_);
    sharedDisplay_ = display;
  }
  return list;
}

void Toggler::refreshWindows() {
  auto list = listWindowsSharingDisplay();
  QMetaObject::invokeMethod(
      this,
      [this, list = std::move(list)]() mutable {
        if (list) {
          setAllwindows(std::move(*list));
          setPermissionError(false);
        } else {
          setPermissionError(true);
        }
        QString note = services_.popoverNote ? services_.popoverNote() : QString();
        if (note != popoverNote_) {
          popoverNote_ = note;
          emit popoverNoteChanged();
        }
      },
      Qt::QueuedConnection);
}

// ---------------------------------------------------------------- quick record

void Toggler::hotKeyPressed(std::function<void(const QString&)> answered) {
  if (!answered) answered = [](const QString&) {};
  if (recording_ || armed()) {
    stopOrCancel();
    return answered({});
  }
  if (quickRecordSearching_) {
    // The desktop's picker is open: it is the place to cancel.
    if (services_.sourcePicker) logLine("a recording is already starting");
    else if (!quickRecordCancelled_.exchange(true)) logLine("the recording was called off before it started");
    return answered({});
  }
  if (services_.sourcePicker) {
    pickAndRecord(services_.sourcePicker->canPickAgain());
    return answered({});
  }
  quickRecordSearching_ = true;
  quickRecordCancelled_ = false;
  Point pointer = services_.pointerLocation ? services_.pointerLocation() : Point{};
  QThreadPool::globalInstance()->start([this, pointer, answered] { recordWindowUnderPointer(pointer, answered); });
}

void Toggler::recordWindowUnderPointer(Point bottomLeftPointer, std::function<void(const QString&)> answered) {
  if (!answered) answered = [](const QString&) {};
  std::optional<double> height = services_.mainScreenHeight ? services_.mainScreenHeight() : std::nullopt;
  Point pointer = pointerInWindowFrames(bottomLeftPointer, height);
  // Only the windows under the pointer are pictured.
  auto list = listWindowsSharingDisplay([pointer](const CaptureWindow& w) { return w.frame.contains(pointer); });
  std::optional<CaptureWindow> found;
  if (list) {
    std::vector<Rect> frames;
    for (const auto& entry : *list) frames.push_back(entry.window.frame);
    if (auto index = firstFrameContaining(frames, pointer)) found = (*list)[*index].window;
  }
  QMetaObject::invokeMethod(
      this,
      [this, found, answered] {
        quickRecordSearching_ = false;
        if (quickRecordCancelled_) return answered({});
        if (!found) {
          logLine("no window to record under the pointer");
          return answered(QStringLiteral("no window to record under the pointer"));
        }
        startElapsedTimer();
        startRecording(*found);
        answered({});
      },
      Qt::QueuedConnection);
}

void Toggler::pickAndRecord(bool again) {
  if (quickRecordSearching_ || armed() || recording_) {
    logLine("a recording is already starting");
    return;
  }
  quickRecordSearching_ = true;
  QPointer<Toggler> self(this);
  services_.sourcePicker->pick(again, cursorOn(), [self](PickResult result) {
    if (!self) return;
    self->quickRecordSearching_ = false;
    if (result.outcome == PickResult::Outcome::picked && result.window) {
      self->startElapsedTimer();
      return self->startRecording(*result.window);
    }
    // A row click started the timer before the picker opened.
    self->timer_.reset();
    self->restoreButtonIcon();
    if (result.outcome == PickResult::Outcome::cancelled) logLine("the picker was cancelled; nothing is recorded");
    else {
      logLine("cannot start recording: " + result.reason);
      self->tellUser({UserNotice::Kind::failure, QStringLiteral("Recording could not start"),
                      QString::fromStdString(result.reason), {}});
    }
  });
}

}  // namespace moxi

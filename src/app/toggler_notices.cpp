// What the user hears of, whatever the thread, and the check before a start
// that where the recording goes has room for one.
#include "app/toggler.h"
#include "app/toggler_recording.h"
#include "common/log.h"
#include "handoff/storage.h"

namespace moxi {

void Toggler::tellUser(UserNotice notice) {
  if (onMainThread()) {
    if (services_.notifyUser) services_.notifyUser(notice);
    return;
  }
  QMetaObject::invokeMethod(this, [this, notice] { tellUser(notice); }, Qt::QueuedConnection);
}

bool Toggler::roomToRecord() {
  // Less than this, and a recording would stop a few minutes in; better to
  // say so before it starts.
  constexpr uint64_t kMinimumFreeBytes = 100ull << 20;
  std::optional<Storage::Folder> folder = Storage::cachesFolder();
  if (!folder) {
    logLine("cannot start recording: no folder for recordings can be written");
    tellUser({UserNotice::Kind::failure, QStringLiteral("Recording could not start"),
              QStringLiteral("No folder for recordings can be written (the temporary folder neither)."), {}});
    return false;
  }
  const std::optional<uint64_t> free = Storage::freeBytes(folder->path);
  if (free && *free < kMinimumFreeBytes) {
    logLine("cannot start recording: only " + std::to_string(*free >> 20) + " MB are free in " +
            folder->path.toStdString());
    tellUser(UserNotice::tooLittleSpace(folder->path, *free, kMinimumFreeBytes));
    return false;
  }
  if (!folder->problem.isEmpty()) {
    logLine("recordings go to " + folder->path.toStdString() + ": " + folder->usual.toStdString() +
            " cannot be used, " + folder->problem.toStdString());
    tellUser(UserNotice::relocated(QStringLiteral("Recordings"), folder->usual, folder->problem, folder->path));
  }
  return true;
}

}  // namespace moxi

#pragma once
// The journal kept beside a raw recording while it is written: what its
// export needs that the file itself does not hold (the window's size and the
// pointer log), so that a recording whose program died can still become a
// movie with its clicks. One JSON object a line, only ever appended: a line
// cut off by a crash or a power cut is ignored when read.
#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/geometry.h"
#include "common/unique_fd.h"
#include "handoff/mouse_event.h"

namespace moxi {

// "<raw>.journal".
QString journalPath(const QString& rawPath);

class RecordingJournal {
 public:
  // A new journal for `rawPath` holding the window size; null, with
  // `error` set, when it cannot be created.
  static std::unique_ptr<RecordingJournal> create(const QString& rawPath, Size videoSize, std::string* error);
  // Appends `events[from..]` (the kernel has them at once: a killed program
  // loses none); synced to the disk at most once a second, and by sync().
  bool append(const std::vector<MouseEvent>& events, size_t from);
  bool sync();
  const QString& path() const { return path_; }

  // Notes in the journal at `path` the movie an export is about to write:
  // once that file exists, the recording was exported.
  static bool noteExport(const QString& path, const QString& moviePath);

 private:
  RecordingJournal(QString path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  bool write(const std::string& lines);

  QString path_;
  UniqueFd fd_;
  double lastSync_ = 0;  // seconds, monotonic
};

struct JournalContents {
  std::optional<Size> videoSize;
  std::vector<MouseEvent> mouseEvents;
  QString exportPath;  // the last export noted, empty when none
};

// What the journal at `path` holds; lines that cannot be read (a torn last
// one) are skipped. None when the file cannot be read at all.
std::optional<JournalContents> readJournal(const QString& path);

}  // namespace moxi

#pragma once
// After a crash: the recordings whose program died while writing them
// (their journal is still there) are exported as a stop would have.
#include <QString>
#include <QUrl>
#include <functional>
#include <string>
#include <vector>

#include "handoff/recording_journal.h"

namespace moxi {

struct RecoveredRecording {
  QString raw;
  QUrl movie;           // empty when the raw file could not be made into one
  std::string problem;  // why not; the raw file is kept
  JournalContents journal;
};

// Every raw recording in `dir` with a journal and no finished export,
// oldest first: exported (to a name from `newMovieURL`) with the size and
// clicks of its journal, which then goes. A journal whose recording is gone,
// or whose export was finished, is dropped with a log line. Synchronous.
std::vector<RecoveredRecording> recoverInterruptedRecordings(const QString& dir,
                                                             const std::function<QUrl()>& newMovieURL);

}  // namespace moxi

#include "handoff/recovery.h"

#include <QDir>
#include <QFile>

#include "common/log.h"
#include "handoff/click_description.h"
#include "handoff/movie_export.h"

namespace moxi {

std::vector<RecoveredRecording> recoverInterruptedRecordings(const QString& dir,
                                                             const std::function<QUrl()>& newMovieURL) {
  std::vector<RecoveredRecording> recovered;
  // The names hold the time they were made at: oldest first.
  const QStringList journals =
      QDir(dir).entryList({QStringLiteral("tmp-*.mp4.journal")}, QDir::Files | QDir::Hidden, QDir::Name);
  for (const QString& name : journals) {
    const QString journal = dir + u'/' + name;
    const QString raw = journal.chopped(int(QStringLiteral(".journal").size()));
    std::optional<JournalContents> contents = readJournal(journal);
    if (!QFile::exists(raw)) {
      logLine("dropping the journal " + journal.toStdString() + ": its recording is gone");
      QFile::remove(journal);
      continue;
    }
    if (contents && !contents->exportPath.isEmpty() && QFile::exists(contents->exportPath)) {
      logLine("dropping the journal " + journal.toStdString() + ": its recording was exported as " +
              contents->exportPath.toStdString());
      QFile::remove(journal);
      continue;
    }
    RecoveredRecording r;
    r.raw = raw;
    if (!contents) logLine("the journal " + journal.toStdString() + " cannot be read; recovering without clicks");
    else r.journal = std::move(*contents);
    const QUrl movie = newMovieURL();
    RecordingJournal::noteExport(journal, movie.toLocalFile());
    const std::string description = clickDescription(r.journal.videoSize.value_or(Size{0, 0}), r.journal.mouseEvents);
    const ExportResult result = exportMovie(raw.toStdString(), movie.toLocalFile().toStdString(), description);
    if (result.ok()) {
      logLine("recovered " + raw.toStdString());
      logLine("exported as " + movie.toString().toStdString());
      r.movie = movie;
    } else {
      r.problem = result.reason;
      logLine("cannot recover " + raw.toStdString() + ": " + result.reason + "; it is kept");
    }
    QFile::remove(journal);
    recovered.push_back(std::move(r));
  }
  return recovered;
}

}  // namespace moxi

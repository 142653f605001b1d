#include "handoff/video_file.h"

#include <QFile>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>

#include "common/clock.h"
#include "handoff/storage.h"

namespace moxi {

namespace {

// Milliseconds truncated to a 64-bit integer, clamped so that a broken clock
// cannot make the conversion undefined.
int64_t milliseconds(double secondsSinceReferenceDate) {
  const double ms = std::trunc(secondsSinceReferenceDate * 1000);
  if (!std::isfinite(ms)) return 0;
  return ms >= 9.2e18 ? INT64_MAX : ms <= -9.2e18 ? INT64_MIN : static_cast<int64_t>(ms);
}

QString nameFor(int64_t ms) { return QStringLiteral("tmp-") + QString::number(ms) + QStringLiteral(".mp4"); }

}  // namespace

QString videoFileName(double secondsSinceReferenceDate) {
  return nameFor(milliseconds(secondsSinceReferenceDate));
}

QUrl makeVideoFileURL(double secondsSinceReferenceDate) {
  auto dir = Storage::directory(true);
  if (!dir) return {};
  // The raw recording and the export of another recording can be named in
  // the same millisecond, and removing the "stale" file would then delete a
  // recording of this process: names are handed out in rising order (a later
  // one in the same millisecond, or after the clock went back, takes the
  // next after the last), so none twice and nothing to remember but the last.
  static std::mutex mutex;
  static std::optional<int64_t> last;
  std::lock_guard lock(mutex);
  int64_t ms = milliseconds(secondsSinceReferenceDate);
  if (last && ms <= *last) ms = *last == INT64_MAX ? INT64_MIN : *last + 1;
  last = ms;
  const QString path = *dir + '/' + nameFor(ms);
  QFile::remove(path);  // a stale file (or link) of that name; failure ignored
  return QUrl::fromLocalFile(path);
}

QUrl makeVideoFileURL() { return makeVideoFileURL(secondsSinceReferenceDate()); }

}  // namespace moxi

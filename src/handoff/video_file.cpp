#include "handoff/video_file.h"

#include <QFile>
#include <cmath>
#include <cstdint>

#include "handoff/storage.h"
#include "platform/clock.h"

namespace moxi {

QString videoFileName(double secondsSinceReferenceDate) {
  double ms = std::trunc(secondsSinceReferenceDate * 1000);
  // Clamped so that a broken clock cannot make the conversion undefined.
  int64_t n = 0;
  if (std::isfinite(ms))
    n = ms >= 9.2e18 ? INT64_MAX : ms <= -9.2e18 ? INT64_MIN : static_cast<int64_t>(ms);
  return QStringLiteral("tmp-") + QString::number(n) + QStringLiteral(".mp4");
}

QUrl makeVideoFileURL(double secondsSinceReferenceDate) {
  auto dir = Storage::directory(true);
  if (!dir) return {};
  QString path = *dir + '/' + videoFileName(secondsSinceReferenceDate);
  QFile::remove(path);  // a stale file (or link) of that name; failure ignored
  return QUrl::fromLocalFile(path);
}

QUrl makeVideoFileURL() { return makeVideoFileURL(secondsSinceReferenceDate()); }

}  // namespace moxi

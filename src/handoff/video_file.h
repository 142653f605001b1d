#pragma once
// Names and places every video file of the program (the raw recording and
// the exported movie alike): "tmp-" + milliseconds since the reference date
// + ".mp4" in the caches directory.
#include <QString>
#include <QUrl>

namespace moxi {

// "tmp-<n>.mp4" with n = seconds × 1000 truncated to a 64-bit integer.
QString videoFileName(double secondsSinceReferenceDate);

// A fresh file URL for a video, named after the current time. A stale file
// of that name is removed (a failed removal is ignored). A name is handed out
// once per process: a second call in the same millisecond gets the next one.
// An empty URL, after one log line, when the caches directory is missing and
// cannot be created.
QUrl makeVideoFileURL();

// The same for a given time (tests, and callers that keep their own clock).
QUrl makeVideoFileURL(double secondsSinceReferenceDate);

}  // namespace moxi

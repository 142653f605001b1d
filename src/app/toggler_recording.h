#pragma once
// What the controller's files share privately: one recording's writer
// side, from its first frame to its finish.
#include <QCoreApplication>
#include <QThread>
#include <QUrl>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/toggler.h"
#include "capture/writer/recording_writer.h"

namespace moxi {

inline bool onMainThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

struct Toggler::Recording {
  uint64_t generation = 0;
  QUrl videoURL;
  // Set on videoSampleBufferQueue while the writer opens, read there later.
  std::shared_ptr<RecordingWriter> videoWriter;
  std::shared_ptr<VideoWriterInput> videoWriterInput;
  bool microphoneStarted = false;
  bool abandoned = false;
  // videoSampleBufferQueue: why the recording stopped by itself (its file
  // cannot be written on), told once after its export; set before the finish.
  std::string stopCause;
  bool finishing = false;
  // Sound: appended up to audioEndNs so far; nothing from audioStopNs on.
  std::atomic<int64_t> audioEndNs{INT64_MIN};
  std::atomic<int64_t> audioStopNs{INT64_MAX};
  // Read on audioSampleBufferQueue; guarded by audioMutex.
  std::mutex audioMutex;
  std::shared_ptr<AudioWriterInput> audioWriterInput;
};

struct Toggler::LogSnapshot {
  Size videoSize;
  std::vector<MouseEvent> mouseEvents;
};

}  // namespace moxi

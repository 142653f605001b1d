#include "handoff/recording_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "common/clock.h"
#include "handoff/side_file_json.h"

namespace moxi {

namespace {

bool writeAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

double monotonicSeconds() { return static_cast<double>(monotonicNanos()) / 1e9; }

}  // namespace

QString journalPath(const QString& rawPath) { return rawPath + QStringLiteral(".journal"); }

std::unique_ptr<RecordingJournal> RecordingJournal::create(const QString& rawPath, Size videoSize,
                                                           std::string* error) {
  const QString path = journalPath(rawPath);
  UniqueFd fd(::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    *error = "cannot create " + path.toStdString() + ": " + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<RecordingJournal> journal(new RecordingJournal(path, std::move(fd)));
  const std::optional<std::string> size = json::encode(videoSize);
  if (!size || !journal->write("{\"size\":" + *size + "}\n") || !journal->sync()) {
    *error = "cannot write " + path.toStdString() + ": " + std::strerror(errno);
    QFile::remove(path);
    return nullptr;
  }
  return journal;
}

bool RecordingJournal::write(const std::string& lines) {
  // A line that failed halfway is ended, so the next one still reads.
  if (writeAll(fd_.get(), lines)) return true;
  writeAll(fd_.get(), "\n");
  return false;
}

bool RecordingJournal::append(const std::vector<MouseEvent>& events, size_t from) {
  std::string lines;
  for (size_t i = from; i < events.size(); ++i)
    if (std::optional<std::string> line = json::encode(events[i])) lines += *line + '\n';
  if (!lines.empty() && !write(lines)) return false;
  return monotonicSeconds() - lastSync_ < 1.0 || sync();
}

bool RecordingJournal::sync() {
  lastSync_ = monotonicSeconds();
  return fdatasync(fd_.get()) == 0;
}

bool RecordingJournal::noteExport(const QString& path, const QString& moviePath) {
  UniqueFd fd(::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CLOEXEC));
  const std::optional<std::string> name = json::encode(moviePath.toStdString());
  return fd.valid() && name && writeAll(fd.get(), "\n{\"export\":" + *name + "}\n") && fdatasync(fd.get()) == 0;
}

std::optional<JournalContents> readJournal(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  JournalContents contents;
  while (!file.atEnd()) {
    const QByteArray line = file.readLine();
    // A last line without its end was cut off while written.
    if (!line.endsWith('\n')) break;
    const nlohmann::json j = nlohmann::json::parse(line.constData(), line.constData() + line.size(), nullptr, false);
    if (!j.is_object()) continue;
    auto number = [&](const char* key) { return j.contains(key) && j[key].is_number(); };
    if (j.contains("size") && j["size"].is_array() && j["size"].size() == 2 && j["size"][0].is_number() &&
        j["size"][1].is_number()) {
      contents.videoSize = Size{j["size"][0].get<double>(), j["size"][1].get<double>()};
    } else if (number("x") && number("y") && number("timestamp") && j.contains("down") && j["down"].is_boolean()) {
      contents.mouseEvents.push_back(
          {j["x"].get<double>(), j["y"].get<double>(), j["down"].get<bool>(), j["timestamp"].get<double>()});
    } else if (j.contains("export") && j["export"].is_string()) {
      contents.exportPath = QString::fromStdString(j["export"].get<std::string>());
    }
  }
  return contents;
}

}  // namespace moxi

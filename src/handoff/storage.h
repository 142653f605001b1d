#pragma once
// Where the program's files live, and the JSON side files written next to
// the recordings ("videosize.json", "video.json", "mouse.json").
#include <QString>
#include <QUrl>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/geometry.h"
#include "handoff/mouse_event.h"

namespace moxi {

class Storage {
 public:
  Storage() = delete;

  // The user's documents directory (caches false) or the program's caches
  // directory (caches true), created with mode 0700 when missing. Nothing,
  // after one log line "Could not create URL for specified directory!",
  // when there is none or it cannot be created.
  // The caches directory falls back to a folder of the user's own in the
  // temporary directory when the usual one cannot be written (see cachesFolder).
  static std::optional<QString> directory(bool caches);

  struct Folder {
    QString path;     // where the files go
    QString usual;    // where they go when nothing is wrong
    QString problem;  // why `usual` is not used ("it is a file, not a folder"); empty when it is
  };
  // The caches directory as directory(true) finds it, and why it is not the
  // usual one. Nothing when neither can be written.
  static std::optional<Folder> cachesFolder();
  // Why files cannot be written into `dir` (created when missing), in the
  // user's words; empty when they can.
  static QString unusableBecause(const QString& dir);
  // TMPDIR when it is a folder that can be written, else /tmp.
  static QString temporaryFolder();
  // Bytes an ordinary user may still write on the disk of `dir`.
  static std::optional<uint64_t> freeBytes(const QString& dir);

  // Encodes `value` as JSON and replaces `fileName` in the documents (or
  // caches) directory with it atomically: the bytes go to a temporary file
  // in the same directory, are synced, and the file is renamed over the
  // target, so a reader sees the old file or the new one, never a mix. The
  // file's mode is 0600. On any failure (no directory, a value that cannot
  // be encoded, a write error) it logs one line, leaves the previous file
  // as it was, and returns false.
  static bool saveSideFile(std::string_view utf8, bool caches, const QString& fileName);
  static bool saveSideFile(const std::string& utf8, bool caches, const QString& fileName);
  static bool saveSideFile(const char* utf8, bool caches, const QString& fileName);
  static bool saveSideFile(const QString& text, bool caches, const QString& fileName);
  // A URL is written as the JSON string of its absolute, encoded text.
  static bool saveSideFile(const QUrl& url, bool caches, const QString& fileName);
  static bool saveSideFile(const std::vector<MouseEvent>& events, bool caches, const QString& fileName);
  static bool saveSideFile(Size size, bool caches, const QString& fileName);  // [width,height]

  // Writes `bytes` to `path` as described for saveSideFile; on failure the
  // reason, one line, goes to `error`.
  static bool replaceFileAtomically(const QString& path, std::string_view bytes, std::string* error);

 private:
  static bool save(const std::optional<std::string>& encoded, bool caches, const QString& fileName);
};

}  // namespace moxi

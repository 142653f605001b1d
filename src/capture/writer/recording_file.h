#pragma once
// The raw recording's file on disk. FFmpeg writes it through this object's
// own I/O, so that a failed write keeps its cause (a full disk, a read-only
// one) and the file can be cut back to the end of its last whole fragment:
// what is kept then plays to its end without a damaged tail.
#include <cstdint>
#include <memory>
#include <string>

#include "common/unique_fd.h"

struct AVIOContext;

namespace moxi {

// Why writing stopped, for the user: "the disk is full" for ENOSPC.
std::string writeFailureCause(int errnoValue);

class RecordingFile {
 public:
  // Creates `path` with mode 0600; it must not exist yet. Null, with
  // `error` set, when it cannot be created.
  static std::unique_ptr<RecordingFile> create(const std::string& path, std::string& error);
  ~RecordingFile();
  RecordingFile(const RecordingFile&) = delete;
  RecordingFile& operator=(const RecordingFile&) = delete;

  AVIOContext* io() const { return io_; }
  // Called after the muxer flushed a packet: everything on disk so far is
  // whole. Ignored once a write has failed.
  void markComplete();
  // The header is on disk; a file that ends there holds no picture.
  void markHeaderWritten();
  // errno of the first failed write (ENOENT when the file lost its name
  // while being written), 0 while none failed.
  int failure() const { return failure_; }
  // True (and failure() ENOENT) when the file or its folder was removed: the
  // data then goes to a file without a name, lost when it is closed.
  bool checkUnlinked();
  // Flushes, syncs and closes. After a failure the file is cut back to its
  // last whole fragment (on a disk gone read-only it stays as it is, and
  // readers stop before its damaged end), and a file whose name was removed
  // is written again under its path. True when the file is complete or what
  // it kept plays; false when nothing could be kept (a file without one
  // fragment is removed).
  bool close();
  const std::string& path() const { return path_; }

 private:
  RecordingFile(std::string path, UniqueFd fd);
  static int write(void* opaque, const uint8_t* buffer, int size);
  static int64_t seek(void* opaque, int64_t offset, int whence);
  bool restoreName();

  std::string path_;
  UniqueFd fd_;
  AVIOContext* io_ = nullptr;
  int failure_ = 0;
  int64_t complete_ = 0;  // bytes known whole
  int64_t header_ = 0;
};

}  // namespace moxi

#include "capture/writer/recording_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avio.h>
#include <libavformat/version.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <cstring>
#include <vector>

namespace moxi {

std::string writeFailureCause(int e) {
  switch (e) {
    case 0: return {};
    case ENOSPC: return "the disk is full";
    case EDQUOT: return "the disk quota is used up";
    case EROFS: return "the disk is read-only";
    case ENOENT: return "its folder was removed";
    case EACCES:
    case EPERM: return "its folder cannot be written";
    case EFBIG: return "the file is too large for this disk";
    default: return std::string("the disk could not be written (") + std::strerror(e) + ")";
  }
}

RecordingFile::RecordingFile(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}

std::unique_ptr<RecordingFile> RecordingFile::create(const std::string& path, std::string& error) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<RecordingFile> file(new RecordingFile(path, std::move(fd)));
  constexpr int kBufferSize = 64 * 1024;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
#if LIBAVFORMAT_VERSION_MAJOR >= 61
  auto* writeData = &write;
#else
  // Before FFmpeg 7 the write callback took its data as non-const.
  auto* writeData = +[](void* opaque, uint8_t* data, int size) { return write(opaque, data, size); };
#endif
  if (buffer) file->io_ = avio_alloc_context(buffer, kBufferSize, 1, file.get(), nullptr, writeData, &seek);
  if (!file->io_) {
    av_free(buffer);
    ::unlink(path.c_str());
    error = "out of memory";
    return nullptr;
  }
  return file;
}

RecordingFile::~RecordingFile() {
  if (io_) av_freep(&io_->buffer);
  avio_context_free(&io_);
}

int RecordingFile::write(void* opaque, const uint8_t* buffer, int size) {
  auto* self = static_cast<RecordingFile*>(opaque);
  if (self->failure_) return AVERROR(self->failure_);
  for (int done = 0; done < size;) {
    const ssize_t n = ::write(self->fd_.get(), buffer + done, static_cast<size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      self->failure_ = n < 0 ? errno : ENOSPC;
      return AVERROR(self->failure_);
    }
    done += static_cast<int>(n);
  }
  return size;
}

int64_t RecordingFile::seek(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<RecordingFile*>(opaque);
  if (whence == AVSEEK_SIZE) {
    struct stat st {};
    return fstat(self->fd_.get(), &st) == 0 ? st.st_size : AVERROR(errno);
  }
  const off_t at = lseek(self->fd_.get(), offset, whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : at;
}

void RecordingFile::markComplete() {
  if (failure_ || !io_ || io_->error < 0) return;
  complete_ = avio_tell(io_);
}

void RecordingFile::markHeaderWritten() {
  markComplete();
  header_ = complete_;
}

bool RecordingFile::checkUnlinked() {
  struct stat open {}, named {};
  if (fstat(fd_.get(), &open) != 0) return false;
  bool gone = open.st_nlink == 0;
  if (!gone && stat(path_.c_str(), &named) == 0) gone = named.st_ino != open.st_ino || named.st_dev != open.st_dev;
  else if (!gone) gone = errno == ENOENT || errno == ENOTDIR;  // not a passing error
  if (gone && !failure_) failure_ = ENOENT;
  return gone;
}

// The folder is made again and the whole part copied out of the nameless file.
bool RecordingFile::restoreName() {
  for (size_t pos = 1; pos < path_.size(); ++pos)
    if (path_[pos] == '/') ::mkdir(path_.substr(0, pos).c_str(), 0700);
  const std::string temp = path_ + ".part";
  UniqueFd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!out.valid()) return false;
  std::vector<char> chunk(1 << 20);
  bool ok = true;
  for (int64_t at = 0; ok && at < complete_;) {
    const ssize_t n = pread(fd_.get(), chunk.data(), std::min<size_t>(chunk.size(), complete_ - at), at);
    ok = n > 0 && ::write(out.get(), chunk.data(), static_cast<size_t>(n)) == n;
    at += n;
  }
  ok = ok && fsync(out.get()) == 0 && ::close(out.release()) == 0 && ::rename(temp.c_str(), path_.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool RecordingFile::close() {
  if (!fd_.valid()) return !failure_;
  if (io_ && !failure_) avio_flush(io_);
  markComplete();
  checkUnlinked();
  if (!failure_ && fsync(fd_.get()) != 0 && errno != EINVAL) failure_ = errno;
  bool kept = !failure_;
  if (failure_) {
    // A fragment cut off by the failure is dropped: the file ends whole. A
    // file without a single fragment holds nothing worth keeping.
    // On a disk gone read-only nothing can be cut: the damaged fragment
    // stays, and readers (the export) stop before it.
    kept = complete_ > header_ && (ftruncate(fd_.get(), complete_) == 0 || errno == EROFS);
    if (kept && failure_ == ENOENT) kept = restoreName();
    if (!kept && failure_ != ENOENT) ::unlink(path_.c_str());
  }
  if (::close(fd_.release()) != 0 && !failure_) {
    failure_ = errno;
    kept = false;
  }
  return kept;
}

}  // namespace moxi

#include "handoff/storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "handoff/side_file_json.h"

namespace moxi {

namespace {

// Owns one file descriptor.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Closes now, reporting a failed close (where a delayed write error shows).
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

std::string errnoText(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

// mkdir -p, creating what is missing with mode 0700.
bool makeDirectories(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

QString Storage::unusableBecause(const QString& dir) {
  if (dir.isEmpty()) return QStringLiteral("there is none");
  const std::string path = dir.toStdString();
  struct stat st {};
  if (!makeDirectories(path)) {
    // Kept at once: the stat() below sets errno too.
    const int error = errno;
    if (stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return QStringLiteral("it is a file, not a folder");
    if (error == EROFS) return QStringLiteral("it is on a read-only disk");
    return QStringLiteral("it cannot be created (%1)").arg(QString::fromLocal8Bit(std::strerror(error)));
  }
  int error = 0;
  if (access(path.c_str(), W_OK | X_OK) == 0) {
    // A disk that turned read-only after an error (ext4's errors=remount-ro)
    // still passes access(): only making a file shows it. The probe is
    // nameless, so nothing is left behind.
    Fd probe(::open(path.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    error = errno;
    if (probe.ok() || (error != EROFS && error != EACCES && error != EPERM)) return {};
  } else {
    error = errno;
  }
  if (error == EROFS) return QStringLiteral("it is on a read-only disk");
  return QStringLiteral("it cannot be written (%1)").arg(QString::fromLocal8Bit(std::strerror(error)));
}

QString Storage::temporaryFolder() {
  // Qt's temporary path is empty for a TMPDIR that does not exist, which
  // would put our folders at the root of the file system.
  const QByteArray dir = qgetenv("TMPDIR");
  struct stat st {};
  if (dir.startsWith('/') && stat(dir.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
      access(dir.constData(), W_OK | X_OK) == 0)
    return QDir::cleanPath(QFile::decodeName(dir));
  return QStringLiteral("/tmp");
}

std::optional<Storage::Folder> Storage::cachesFolder() {
  Folder folder;
  folder.usual = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
  folder.problem = unusableBecause(folder.usual);
  if (folder.problem.isEmpty()) {
    folder.path = folder.usual;
    return folder;
  }
  // Recordings must go somewhere: the temporary folder, one of the user's own.
  folder.path = temporaryFolder() + QStringLiteral("/moxiscope-%1-cache").arg(getuid());
  if (!unusableBecause(folder.path).isEmpty()) return std::nullopt;
  // The temporary directory is shared: only a folder of this user's own, not
  // a link someone else put there, will do.
  struct stat st {};
  if (lstat(folder.path.toStdString().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
      (st.st_mode & 077) != 0)
    return std::nullopt;
  return folder;
}

std::optional<QString> Storage::directory(bool caches) {
  if (caches) {
    if (auto folder = cachesFolder()) return folder->path;
  } else {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!dir.isEmpty() && makeDirectories(dir.toStdString())) return dir;
  }
  logLine("Could not create URL for specified directory!");
  return std::nullopt;
}

std::optional<uint64_t> Storage::freeBytes(const QString& dir) {
  struct statvfs fs {};
  if (statvfs(dir.toStdString().c_str(), &fs) != 0) return std::nullopt;
  return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
}

bool Storage::replaceFileAtomically(const QString& path, std::string_view bytes, std::string* error) {
  std::string target = path.toStdString();
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temp = dir + "/." + base + ".XXXXXX";
  // mkostemp creates the file with mode 0600.
  Fd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.ok()) {
    *error = errnoText("cannot create a file in", dir);
    return false;
  }
  auto fail = [&](const char* what, const std::string& p) {
    *error = errnoText(what, p);
    fd.reset();
    unlink(temp.c_str());
    return false;
  };
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("cannot write", temp);
    done += static_cast<size_t>(n);
  }
  if (fsync(fd.get()) != 0) return fail("cannot sync", temp);
  if (!fd.close()) return fail("cannot close", temp);
  if (rename(temp.c_str(), target.c_str()) != 0) return fail("cannot replace", target);
  // Make the rename itself durable; a failure here loses nothing already visible.
  Fd dirFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.ok()) fsync(dirFd.get());
  return true;
}

bool Storage::save(const std::optional<std::string>& encoded, bool caches, const QString& fileName) {
  if (!encoded) {
    logLine("error encoding side file " + fileName.toStdString() + ": a number is not finite or a text is not UTF-8");
    return false;
  }
  auto dir = directory(caches);
  if (!dir) return false;
  std::string error;
  if (!replaceFileAtomically(*dir + '/' + fileName, *encoded, &error)) {
    logLine("error writing side file " + fileName.toStdString() + ": " + error);
    return false;
  }
  return true;
}

bool Storage::saveSideFile(std::string_view utf8, bool caches, const QString& fileName) {
  return save(json::encode(utf8), caches, fileName);
}
bool Storage::saveSideFile(const std::string& utf8, bool caches, const QString& fileName) {
  return saveSideFile(std::string_view(utf8), caches, fileName);
}
bool Storage::saveSideFile(const char* utf8, bool caches, const QString& fileName) {
  return saveSideFile(std::string_view(utf8), caches, fileName);
}
bool Storage::saveSideFile(const QString& text, bool caches, const QString& fileName) {
  return saveSideFile(text.toStdString(), caches, fileName);
}
bool Storage::saveSideFile(const QUrl& url, bool caches, const QString& fileName) {
  return saveSideFile(url.toString(QUrl::FullyEncoded), caches, fileName);
}
bool Storage::saveSideFile(const std::vector<MouseEvent>& events, bool caches, const QString& fileName) {
  return save(json::encode(events), caches, fileName);
}
bool Storage::saveSideFile(Size size, bool caches, const QString& fileName) {
  return save(json::encode(size), caches, fileName);
}

}  // namespace moxi

#include "harness/scratch_disk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace moxi::test {

ScratchDisk::ScratchDisk(const std::string& dir, const std::string& options) : dir_(dir) {
  std::filesystem::create_directories(dir);
  unsigned long flags = 0;
  std::string data = options;
  if (data.rfind("ro,", 0) == 0) {
    flags = MS_RDONLY;
    data = data.substr(3);
  }
  if (::mount("tmpfs", dir.c_str(), "tmpfs", flags, data.c_str()) != 0)
    throw std::runtime_error("cannot mount a tmpfs (" + options + ") on " + dir + ": " + std::strerror(errno) +
                             " (this test needs root)");
}

ScratchDisk::~ScratchDisk() {
  // Lazily: the program under test may still hold a file open there.
  ::umount2(dir_.c_str(), MNT_DETACH);
}

uint64_t ScratchDisk::freeBytes() const {
  struct statvfs fs {};
  if (statvfs(dir_.c_str(), &fs) != 0) return 0;
  return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
}

void ScratchDisk::fill(uint64_t leaveBytes) {
  const int fd = ::open((dir_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot fill " + dir_ + ": " + std::strerror(errno));
  const std::vector<char> block(1 << 20, 'x');
  for (uint64_t free = freeBytes(); free > leaveBytes; free = freeBytes()) {
    const size_t size = std::min<uint64_t>(block.size(), free - leaveBytes);
    if (::write(fd, block.data(), std::max<size_t>(size, 4096)) <= 0) break;
  }
  ::close(fd);
}

void ScratchDisk::unfill() { std::filesystem::remove(dir_ + "/filler"); }

}  // namespace moxi::test

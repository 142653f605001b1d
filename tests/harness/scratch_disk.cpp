#include "harness/scratch_disk.h"

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace moxi::test {

ScratchDisk::ScratchDisk(const std::string& dir, std::string options) : dir_(dir) {
  std::filesystem::create_directories(dir);
  const bool readOnly = options.rfind("ro,", 0) == 0;
  if (::mount("tmpfs", dir.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str() + (readOnly ? 3 : 0)))
    throw std::runtime_error("cannot mount a tmpfs on " + dir + ": " + std::strerror(errno) + " (run as root)");
}

// Lazily: the program under test may still hold a file there.
ScratchDisk::~ScratchDisk() { ::umount2(dir_.c_str(), MNT_DETACH); }

void ScratchDisk::fill(uint64_t leaveBytes) {
  std::ofstream filler(dir_ + "/filler", std::ios::binary);
  const std::vector<char> block(4096, 'x');
  for (struct statvfs fs {}; statvfs(dir_.c_str(), &fs) == 0 && uint64_t(fs.f_bavail) * fs.f_frsize > leaveBytes;)
    if (!filler.write(block.data(), block.size()).flush()) break;
}

}  // namespace moxi::test

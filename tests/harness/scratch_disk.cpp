#include "harness/scratch_disk.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "harness/test_desktop.h"

namespace moxi::test {

namespace {

std::runtime_error failure(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno) + " (the test needs root and loop devices)");
}

}  // namespace

ScratchDisk::ScratchDisk(const std::string& dir, std::string options) : dir_(dir) {
  std::filesystem::create_directories(dir);
  if (options.rfind("ext4,size=", 0) == 0) {
    try {
      makeExt4(std::stoull(options.substr(10)) << 20);
    } catch (...) {
      tearDown();  // a throwing constructor runs no destructor
      throw;
    }
    return;
  }
  const bool readOnly = options.rfind("ro,", 0) == 0;
  if (::mount("tmpfs", dir.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str() + (readOnly ? 3 : 0)))
    throw std::runtime_error("cannot mount a tmpfs on " + dir + ": " + std::strerror(errno) + " (run as root)");
}

void ScratchDisk::makeExt4(uint64_t bytes) {
  image_ = dir_ + ".img";
  std::ofstream(image_).close();
  std::filesystem::resize_file(image_, bytes);
  if (runCommand({"mkfs.ext4", "-q", "-F", "-m", "0", image_}).exitCode != 0)
    throw std::runtime_error("mkfs.ext4 " + image_ + " failed (is e2fsprogs installed?)");
  UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC)), image(::open(image_.c_str(), O_RDWR | O_CLOEXEC));
  if (!control.valid()) throw failure("cannot open /dev/loop-control");
  // Another program may take the free device first: ask again.
  for (int attempt = 0; attempt < 10 && !loop_.valid(); ++attempt) {
    const int n = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
    if (n < 0) throw failure("no free loop device");
    loopName_ = "loop" + std::to_string(n);
    loop_.reset(::open(("/dev/" + loopName_).c_str(), O_RDWR | O_CLOEXEC));
    loop_config config{};
    config.fd = static_cast<uint32_t>(image.get());
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    if (loop_.valid() && ::ioctl(loop_.get(), LOOP_CONFIGURE, &config) != 0) loop_.reset();
  }
  if (!loop_.valid()) throw failure("cannot attach " + image_ + " to a loop device");
  if (::mount(("/dev/" + loopName_).c_str(), dir_.c_str(), "ext4", 0, "errors=remount-ro"))
    throw failure("cannot mount /dev/" + loopName_ + " on " + dir_);
}

ScratchDisk::~ScratchDisk() { tearDown(); }

void ScratchDisk::tearDown() {
  ::umount2(dir_.c_str(), MNT_DETACH);  // lazily: the program under test may still hold a file there
  if (loop_.valid()) ::ioctl(loop_.get(), LOOP_CLR_FD);  // busy: auto-clear does it when the mount goes
  loop_.reset();
  if (!image_.empty()) ::unlink(image_.c_str());
}

void ScratchDisk::fill(uint64_t leaveBytes) {
  std::ofstream filler(dir_ + "/filler", std::ios::binary);
  const std::vector<char> block(4096, 'x');
  for (struct statvfs fs {}; statvfs(dir_.c_str(), &fs) == 0 && uint64_t(fs.f_bavail) * fs.f_frsize > leaveBytes;)
    if (!filler.write(block.data(), block.size()).flush()) break;
}

void ScratchDisk::turnReadOnly() {
  std::ofstream trigger("/sys/fs/ext4/" + loopName_ + "/trigger_fs_error");
  if (loopName_.empty() || !(trigger << "1\n").flush()) throw failure("cannot report an error on " + dir_);
}

}  // namespace moxi::test

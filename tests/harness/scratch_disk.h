#pragma once
// A small disk of the test's own mounted over a directory (made when
// missing), lazily unmounted on destruction: a tmpfs, or a real ext4 in an
// image file on a loop device, which (unlike a tmpfs) can turn read-only
// under a file open for writing. A test that needs one fails when it cannot
// be made (it needs root and loop devices); it never passes without.
#include <cstdint>
#include <string>

#include "common/unique_fd.h"

namespace moxi::test {

class ScratchDisk {
 public:
  // `options` as for mount -o, e.g. "size=112m"; a leading "ro," mounts it
  // read-only; a leading "ext4," makes an ext4 of that size instead.
  ScratchDisk(const std::string& dir, std::string options);
  ~ScratchDisk();
  ScratchDisk(const ScratchDisk&) = delete;
  ScratchDisk& operator=(const ScratchDisk&) = delete;
  // Writes dir/filler until at most `leaveBytes` stay free.
  void fill(uint64_t leaveBytes = 0);
  // An ext4 only: reports a file-system error, on which the kernel remounts
  // it read-only; the next write to a file open there fails with EROFS.
  void turnReadOnly();

 private:
  void makeExt4(uint64_t bytes);
  void tearDown();
  std::string dir_, image_, loopName_;
  UniqueFd loop_;  // attached with auto-clear: detached once unmounted and closed
};

}  // namespace moxi::test

#pragma once
// A small disk of the test's own: a tmpfs mounted over a directory (which is
// created when missing) and unmounted on destruction. A test that needs one
// fails when it cannot be mounted; it never passes without it.
#include <cstdint>
#include <string>

namespace moxi::test {

class ScratchDisk {
 public:
  // `options` as for mount -o, e.g. "size=112m" or "ro,size=1m".
  ScratchDisk(const std::string& dir, const std::string& options);
  ~ScratchDisk();
  ScratchDisk(const ScratchDisk&) = delete;
  ScratchDisk& operator=(const ScratchDisk&) = delete;

  // Writes a filler file until at most `leaveBytes` stay free.
  void fill(uint64_t leaveBytes = 0);
  // Removes the filler again.
  void unfill();
  uint64_t freeBytes() const;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

}  // namespace moxi::test

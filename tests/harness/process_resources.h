#pragma once
// What a running process holds, read from outside it: resident memory, file
// descriptors, threads, the X resources of its connections (X-Resource
// extension) and the SysV shared-memory segments it created. The soak
// benchmark and the cycle test compare these before and after.
#include <sys/types.h>

#include <map>
#include <string>

namespace moxi::test {

struct ProcessResources {
  long residentKiB = 0;
  long peakResidentKiB = 0;  // the most it was resident at any time
  // Of residentKiB: its own memory (heap, stacks), pages of mapped files
  // (mostly library code, shared and reloadable) and shared memory.
  long anonKiB = 0, fileKiB = 0, shmemKiB = 0;
  int descriptors = 0;
  int threads = 0;
  int xClients = 0;                     // the process's connections to the display
  std::map<std::string, int> xObjects;  // X resources by type ("PIXMAP", "WINDOW", "GC", "PICTURE", ...)
  int shmSegments = 0;  // segments it created that still exist

  int x(const std::string& type) const {
    auto it = xObjects.find(type);
    return it == xObjects.end() ? 0 : it->second;
  }
  // The counts that must come back to where they were (not memory, and of
  // the X resources those the program makes: pixmaps, pictures, windows, GCs,
  // shared-memory attachments and damage objects).
  bool sameHandles(const ProcessResources& other) const;
  // One line: "rss 41234 KiB (anon 9000, file 30000, shmem 2234), fds 23, threads 9, X: 3 clients, GC 2, ..., shm 1".
  std::string describe() const;
};

// Throws std::runtime_error when the process or the X-Resource extension is not there.
ProcessResources processResources(pid_t pid);

}  // namespace moxi::test

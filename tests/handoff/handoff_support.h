#pragma once
// Shared by the hand-off tests: a private home, documents and caches
// directory for each test, and the harness's file helpers.
#include <string>

#include "harness/test_files.h"

namespace moxi::test {

// Points HOME, XDG_CONFIG_HOME and XDG_CACHE_HOME into a fresh temporary
// directory (removed again on destruction) and names the application
// "Moxiscope", so documents are <home>/Documents and caches
// <home>/cache/Moxiscope/Moxiscope.
class PrivateHome {
 public:
  PrivateHome();
  ~PrivateHome();
  PrivateHome(const PrivateHome&) = delete;
  PrivateHome& operator=(const PrivateHome&) = delete;

  const std::string& path() const { return path_; }
  std::string documents() const { return path_ + "/Documents"; }
  std::string caches() const { return path_ + "/cache/Moxiscope/Moxiscope"; }

 private:
  std::string path_;
};

}  // namespace moxi::test

#pragma once
// Files and directories of the tests' own.
#include <map>
#include <string>
#include <vector>

namespace moxi::test {

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
std::vector<std::string> lines(const std::string& text);
// A fresh directory /tmp/<prefix>XXXXXX (mode 0700), removed by the caller.
std::string makeTempDirectory(const char* prefix);

// A home of the program's own, removed on destruction: settings, caches,
// documents, a runtime directory and a stand-in `xdg-open` first on PATH that
// notes each file it is given. With `here` this process uses it until the
// home goes (and calls itself Moxiscope, as the program does).
class PrivateHome {
 public:
  explicit PrivateHome(bool here = true);
  ~PrivateHome();
  PrivateHome(const PrivateHome&) = delete;
  PrivateHome& operator=(const PrivateHome&) = delete;

  const std::string& path() const { return path_; }
  std::string documents() const { return path_ + "/Documents"; }
  std::string caches() const { return path_ + "/cache/Moxiscope/Moxiscope"; }
  // Every file the stand-in opener was given, one a line.
  std::string opened() const { return readFile(path_ + "/opened"); }
  // HOME, XDG_CONFIG_HOME, XDG_CACHE_HOME, XDG_RUNTIME_DIR and PATH for this home.
  std::map<std::string, std::string> environment() const;

 private:
  std::string path_;
  std::map<std::string, std::string> saved_;  // the variables it replaced here
};

}  // namespace moxi::test

#include "harness/test_files.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace moxi::test {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string makeTempDirectory(const char* prefix) {
  std::string pattern = std::string("/tmp/") + prefix + "XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
  return pattern;
}

PrivateHome::PrivateHome(bool here) : path_(makeTempDirectory("moxi-home-")) {
  for (const char* dir : {"/config", "/cache", "/runtime", "/bin"}) fs::create_directories(path_ + dir);
  chmod((path_ + "/runtime").c_str(), 0700);
  writeFile(path_ + "/bin/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " + path_ + "/opened\n");
  fs::permissions(path_ + "/bin/xdg-open", fs::perms::owner_all);
  if (!here) return;
  for (const auto& [name, value] : environment()) {
    const char* old = std::getenv(name.c_str());
    saved_[name] = old ? old : "";
    setenv(name.c_str(), value.c_str(), 1);
  }
  QCoreApplication::setOrganizationName("Moxiscope");
  QCoreApplication::setApplicationName("Moxiscope");
}

PrivateHome::~PrivateHome() {
  for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::map<std::string, std::string> PrivateHome::environment() const {
  const char* path = std::getenv("PATH");
  return {{"HOME", path_},
          {"XDG_CONFIG_HOME", path_ + "/config"},
          {"XDG_CACHE_HOME", path_ + "/cache"},
          {"XDG_RUNTIME_DIR", path_ + "/runtime"},
          {"PATH", path_ + "/bin:" + (path ? path : "/usr/bin:/bin")}};
}

}  // namespace moxi::test

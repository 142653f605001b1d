// The settings as the user's file holds them and the folders the side files
// go to: a bad value, a settings file Qt cannot read, a documents folder
// that is missing, a file or read-only never stop the program; each bad key
// is logged once, by name, and takes its default.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QSettings>
#include <filesystem>

#include "app/isolated_application_support.h"
#include "app/recorder_fakes_support.h"
#include "app/recorder_settings.h"
#include "harness/scratch_disk.h"
#include "harness/test_files.h"

using namespace moxi;
using namespace moxi::test;
namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// Qt reads a settings file once and keeps it, as a running program does; each
// case gets a settings folder of its own, as a new start of the program would.
std::string settingsFile;

void writeSettings(const std::string& text) {
  static int n = 0;
  const std::string dir = QDir::homePath().toStdString() + "/config-" + std::to_string(++n);
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(dir));
  settingsFile = dir + "/Moxiscope/Moxiscope.conf";
  fs::create_directories(dir + "/Moxiscope");
  writeFile(settingsFile, text);
}

}  // namespace

TEST(Settings, EveryBadValueOfEveryKeyIsLoggedOnceByNameAndReadsAsTheDefault) {
  const std::pair<std::string, std::optional<bool>> cases[] = {
      {"false", false}, {"0", false}, {"TRUE", true},        {"1", true},
      {"maybe", {}},    {"2", {}},    {"-1", {}},            {"", {}},
      {"true, false", {}} /* a list */, {"@ByteArray(true)", {}}};
  for (const QString& key : RecorderSettings::switchKeys()) {
    for (const auto& [value, reads] : cases) {
      SCOPED_TRACE(key.toStdString() + "=" + value);
      writeSettings("[General]\n" + key.toStdString() + "=" + value + "\n");
      const auto lines = RecorderSettings::check();
      EXPECT_EQ(RecorderSettings::read(key), reads.value_or(RecorderSettings::defaultValue(key)));
      EXPECT_THAT(lines, ::testing::SizeIs(reads ? 0 : 1));
      for (const auto& line : lines) EXPECT_THAT(line, HasSubstr("setting " + key.toStdString() + ":"));
    }
  }
  writeSettings("[General]\nscreenCastRestoreToken=a, b\ncursorOn=false\n");
  EXPECT_THAT(RecorderSettings::check(), ElementsAre(HasSubstr("screenCastRestoreToken")));
}

TEST(Settings, AFileThatCannotBeReadGivesDefaultsAndIsKeptForTheUser) {
  for (const bool folder : {true, false}) {
    SCOPED_TRACE(folder ? "a folder" : "an unclosed group");
    writeSettings("[General\ncursorOn=false\ncapturePopups=true\n");
    if (folder) fs::remove(settingsFile), fs::create_directory(settingsFile);
    const std::string before = folder ? "" : readFile(settingsFile);
    EXPECT_THAT(RecorderSettings::check(), ElementsAre(HasSubstr(settingsFile)));
    for (const QString& key : RecorderSettings::switchKeys())
      EXPECT_EQ(RecorderSettings::read(key), RecorderSettings::defaultValue(key)) << key.toStdString();
    // A switch flipped in the popover starts a new file; the old one stays beside it.
    RecorderSettings::write(RecorderSettings::capturePopupsKey, true);
    EXPECT_TRUE(RecorderSettings::read(RecorderSettings::capturePopupsKey));
    EXPECT_EQ(fs::is_directory(settingsFile + ".damaged"), folder);
    EXPECT_EQ(folder ? "" : readFile(settingsFile + ".damaged"), before);
  }
}

TEST(Settings, SideFilesGoWhereTheyCanBeWrittenAndTheUserHearsWhereOnce) {
  const std::string home = QDir::homePath().toStdString(), docs = home + "/Documents";
  const std::string caches = home + "/cache/Moxiscope/Moxiscope";
  struct Case {
    const char* name;
    std::function<std::unique_ptr<ScratchDisk>()> make;
    std::string dir, reason;  // where the side files go, and why (none: not told)
  } cases[] = {
      {"missing", [] { return nullptr; }, docs, ""},
      {"a file", [&] { return writeFile(docs, ""), nullptr; }, caches, "it is a file"},
      {"read-only", [&] { return std::make_unique<ScratchDisk>(docs, "ro,size=1m"); }, caches, "read-only"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(docs);
    fs::remove_all(caches);
    auto disk = c.make();
    FakeRecorder r;
    r.toggler->startRecording(r.window());
    r.frame(1000);
    r.frame(2000);
    r.settle();
    r.toggler->stopRecording();
    ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
    r.settle();
    EXPECT_EQ(readFile(c.dir + "/videosize.json") + readFile(c.dir + "/mouse.json"), "[800,600][]");
    EXPECT_TRUE(fs::exists(c.dir + "/video.json"));
    std::vector<std::string> told;
    for (const auto& n : r.notices)
      if (n.summary.startsWith("Side files")) told.push_back((n.summary + " " + n.body).toStdString());
    EXPECT_THAT(told, ::testing::SizeIs(c.reason.empty() ? 0 : 1));
    for (const auto& t : told) EXPECT_THAT(t, AllOf(HasSubstr("written to " + caches), HasSubstr(c.reason)));
  }
}

int main(int argc, char** argv) { return moxi::test::runTestsInIsolatedApplication(argc, argv); }

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
using ::testing::HasSubstr;

namespace {

// Qt reads a settings file once and keeps it, as a running program does; each
// case gets a settings folder of its own, as a new start of the program would.
std::string settingsDir;
std::string settingsFile() { return settingsDir + "/Moxiscope/Moxiscope.conf"; }

void writeSettings(const std::string& text) {
  static int n = 0;
  settingsDir = QDir::homePath().toStdString() + "/config-" + std::to_string(++n);
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(settingsDir));
  fs::create_directories(fs::path(settingsFile()).parent_path());
  writeFile(settingsFile(), text);
}

}  // namespace

TEST(Settings, EveryBadValueOfEveryKeyIsLoggedOnceByNameAndReadsAsTheDefault) {
  struct Case {
    std::string value;
    std::optional<bool> reads;  // nothing: ignored
  } cases[] = {{"false", false}, {"0", false}, {"TRUE", true}, {"1", true},       {"maybe", {}},
               {"2", {}},        {"-1", {}},   {"", {}},       {"true, false", {}}, {"@ByteArray(true)", {}}};
  for (const QString& key : RecorderSettings::switchKeys()) {
    for (const auto& c : cases) {
      SCOPED_TRACE(key.toStdString() + "=" + c.value);
      writeSettings("[General]\n" + key.toStdString() + "=" + c.value + "\n");
      const auto lines = RecorderSettings::check();
      EXPECT_EQ(RecorderSettings::read(key), c.reads.value_or(RecorderSettings::defaultValue(key)));
      if (c.reads) {
        EXPECT_TRUE(lines.empty()) << lines.front();
      } else {
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_THAT(lines[0], HasSubstr("setting " + key.toStdString() + ":"));
      }
    }
  }
  writeSettings("[General]\nscreenCastRestoreToken=a, b\ncursorOn=false\n");
  EXPECT_THAT(RecorderSettings::check(), ::testing::ElementsAre(HasSubstr("screenCastRestoreToken")));
}

TEST(Settings, AFileThatCannotBeReadGivesDefaultsAndIsNotOverwritten) {
  struct Case {
    const char* name;
    std::function<void()> make;
  } cases[] = {
      {"a folder", [] {
         writeSettings("");
         fs::remove(settingsFile());
         fs::create_directories(settingsFile());
       }},
      {"unclosed group", [] { writeSettings("[General\ncursorOn=false\ncapturePopups=true\n"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.make();
    const std::string before = fs::is_regular_file(settingsFile()) ? readFile(settingsFile()) : "";
    EXPECT_THAT(RecorderSettings::check(), ::testing::ElementsAre(HasSubstr(settingsFile())));
    for (const QString& key : RecorderSettings::switchKeys())
      EXPECT_EQ(RecorderSettings::read(key), RecorderSettings::defaultValue(key)) << key.toStdString();
    // A switch flipped in the popover starts a new file; the old one stays for the user to mend.
    RecorderSettings::write(RecorderSettings::capturePopupsKey, true);
    EXPECT_TRUE(RecorderSettings::read(RecorderSettings::capturePopupsKey));
    EXPECT_TRUE(fs::exists(settingsFile() + ".damaged"));
    EXPECT_EQ(fs::is_regular_file(settingsFile() + ".damaged") ? readFile(settingsFile() + ".damaged") : "", before);
  }
}

TEST(Settings, SideFilesGoWhereTheyCanBeWrittenAndTheUserHearsWhereOnce) {
  const std::string home = QDir::homePath().toStdString(), docs = home + "/Documents";
  const std::string caches = home + "/cache/Moxiscope/Moxiscope";
  struct Case {
    const char* name;
    std::function<std::unique_ptr<ScratchDisk>()> make;
    std::string dir, reason;  // where the side files go, why (empty: no notice)
  } cases[] = {
      {"missing", [] { return nullptr; }, docs, ""},
      {"a file", [&] { writeFile(docs, ""); return nullptr; }, caches, "it is a file"},
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
    EXPECT_EQ(readFile(c.dir + "/videosize.json"), "[800,600]");
    EXPECT_EQ(readFile(c.dir + "/mouse.json"), "[]");
    EXPECT_TRUE(fs::exists(c.dir + "/video.json"));
    std::vector<std::string> told;
    for (const auto& n : r.notices)
      if (n.summary.startsWith("Side files")) told.push_back((n.summary + " " + n.body).toStdString());
    if (c.reason.empty()) {
      EXPECT_TRUE(told.empty());
    } else {
      EXPECT_THAT(told, ::testing::ElementsAre(::testing::AllOf(HasSubstr("written to " + caches), HasSubstr(c.reason))));
    }
  }
}

int main(int argc, char** argv) { return moxi::test::runTestsInIsolatedApplication(argc, argv); }

// Side files and video file names: the exact bytes written, the atomic
// replacement, and failures that must not stop the program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <random>

#include "handoff/handoff_support.h"
#include "handoff/side_file_json.h"
#include "handoff/storage.h"
#include "handoff/video_file.h"
#include "platform/clock.h"

using namespace moxi;
using moxi::test::PrivateHome;
using moxi::test::readFile;
using moxi::test::writeFile;
namespace fs = std::filesystem;

namespace {

unsigned modeOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(SideFileJson, NumbersAreShortestAndWholeValuesHaveNoFraction) {
  EXPECT_EQ(json::encode(Size{1280, 720}), "[1280,720]");
  EXPECT_EQ(json::encode(Size{0.5, 1.0}), "[0.5,1]");
  EXPECT_EQ(json::number(100000), "100000");
  EXPECT_EQ(json::number(-0.25), "-0.25");
  EXPECT_EQ(json::number(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(json::number(1e21), "1e+21");
  EXPECT_EQ(json::number(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
  EXPECT_EQ(json::number(-std::numeric_limits<double>::infinity()), std::nullopt);

  // Every finite double reads back as itself.
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> mantissa(-10, 10);
  std::uniform_int_distribution<int> exponent(-12, 25);
  for (int i = 0; i < 2000; ++i) {
    double v = mantissa(random) * std::pow(10.0, exponent(random));
    auto text = json::number(v);
    ASSERT_TRUE(text);
    EXPECT_EQ(std::strtod(text->c_str(), nullptr), v) << *text;
  }
}

TEST(SideFileJson, EventsAndStringsEncodeCompactlyWithEscapedSolidus) {
  std::vector<MouseEvent> events{{10.5, 20, true, 1.25}, {0, 720, false, 0.000125}};
  EXPECT_EQ(json::encode(events),
            R"([{"x":10.5,"y":20,"down":true,"timestamp":1.25},{"x":0,"y":720,"down":false,"timestamp":0.000125}])");
  EXPECT_EQ(json::encode(std::vector<MouseEvent>{}), "[]");
  EXPECT_EQ(json::encode(std::vector<MouseEvent>{{1, std::nan(""), false, 0}}), std::nullopt);

  EXPECT_EQ(json::encode("file:///a b/\"q\"\\\n\x01\xc3\xa9"), R"("file:\/\/\/a b\/\"q\"\\\n\u0001é")");
  EXPECT_EQ(json::encode("\xc3"), std::nullopt);          // cut-off sequence
  EXPECT_EQ(json::encode("\xed\xa0\x80"), std::nullopt);  // a surrogate
}

TEST(Storage, WritesTheThreeSideFilesAtomicallyWithMode0600) {
  PrivateHome home;
  QUrl raw = QUrl::fromLocalFile(QString::fromStdString(home.caches() + "/tmp-1.mp4"));
  ASSERT_TRUE(Storage::saveSideFile(Size{1280, 720}, false, "videosize.json"));
  ASSERT_TRUE(Storage::saveSideFile(raw, false, "video.json"));
  ASSERT_TRUE(Storage::saveSideFile(std::vector<MouseEvent>{{3, 4, true, 0.5}}, false, "mouse.json"));

  std::string docs = home.documents();
  EXPECT_EQ(readFile(docs + "/videosize.json"), "[1280,720]");
  std::string escapedHome = home.path();
  for (size_t p = 0; (p = escapedHome.find('/', p)) != std::string::npos; p += 2) escapedHome.insert(p, "\\");
  EXPECT_EQ(readFile(docs + "/video.json"),
            "\"file:\\/\\/" + escapedHome + "\\/cache\\/Moxiscope\\/Moxiscope\\/tmp-1.mp4\"");
  EXPECT_EQ(readFile(docs + "/mouse.json"), R"([{"x":3,"y":4,"down":true,"timestamp":0.5}])");

  // Replacing an existing file (of another mode) leaves only the new file.
  writeFile(docs + "/mouse.json", "old and longer content");
  chmod((docs + "/mouse.json").c_str(), 0644);
  ASSERT_TRUE(Storage::saveSideFile(std::vector<MouseEvent>{}, false, "mouse.json"));
  EXPECT_EQ(readFile(docs + "/mouse.json"), "[]");
  EXPECT_EQ(namesIn(docs), (std::vector<std::string>{"mouse.json", "video.json", "videosize.json"}));
  for (const auto& name : namesIn(docs)) EXPECT_EQ(modeOf(docs + "/" + name), 0600u) << name;

  ASSERT_TRUE(Storage::saveSideFile(QString("a/b"), true, "note.json"));
  EXPECT_EQ(readFile(home.caches() + "/note.json"), R"("a\/b")");
  EXPECT_EQ(modeOf(home.caches()), 0700u);
}

TEST(Storage, AFailedWriteIsOneLineAndKeepsThePreviousFile) {
  PrivateHome home;
  ASSERT_TRUE(Storage::saveSideFile(Size{1, 2}, false, "videosize.json"));

  testing::internal::CaptureStdout();
  EXPECT_FALSE(Storage::saveSideFile(Size{std::numeric_limits<double>::infinity(), 2}, false, "videosize.json"));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_EQ(readFile(home.documents() + "/videosize.json"), "[1,2]");

  // A directory in the way of the target.
  fs::create_directory(home.documents() + "/mouse.json");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(Storage::saveSideFile(std::vector<MouseEvent>{}, false, "mouse.json"));
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_NE(out.find("mouse.json"), std::string::npos) << out;
  EXPECT_EQ(namesIn(home.documents()), (std::vector<std::string>{"mouse.json", "videosize.json"}));

  // A documents directory that cannot exist: its parent is a plain file.
  writeFile(home.path() + "/file", "");
  setenv("HOME", (home.path() + "/file").c_str(), 1);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(Storage::saveSideFile("x", false, "video.json"));
  EXPECT_FALSE(Storage::directory(false).has_value());
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Could not create URL for specified directory!\nCould not create URL for specified directory!\n");
}

TEST(VideoFile, NamedAfterTruncatedMillisecondsInTheCachesDirectory) {
  EXPECT_EQ(videoFileName(1.2349), "tmp-1234.mp4");
  EXPECT_EQ(videoFileName(725000000.0009), "tmp-725000000000.mp4");
  EXPECT_EQ(videoFileName(-0.0019), "tmp--1.mp4");

  PrivateHome home;
  fs::create_directories(home.caches());
  writeFile(home.caches() + "/tmp-5000.mp4", "stale");
  QUrl url = makeVideoFileURL(5.0);
  EXPECT_TRUE(url.isLocalFile());
  EXPECT_EQ(url.toLocalFile().toStdString(), home.caches() + "/tmp-5000.mp4");
  EXPECT_FALSE(fs::exists(home.caches() + "/tmp-5000.mp4"));

  // Named in the same millisecond as a recording of this process (the raw
  // file of the next recording while the last one is exported): the next
  // millisecond, and the recording is not removed as stale.
  writeFile(home.caches() + "/tmp-5000.mp4", "recording");
  EXPECT_EQ(makeVideoFileURL(5.0).fileName().toStdString(), "tmp-5001.mp4");
  EXPECT_EQ(readFile(home.caches() + "/tmp-5000.mp4"), "recording");

  double before = secondsSinceReferenceDate();
  QString name = makeVideoFileURL().fileName();
  double after = secondsSinceReferenceDate();
  ASSERT_TRUE(name.startsWith("tmp-") && name.endsWith(".mp4")) << name.toStdString();
  long long ms = name.mid(4, name.size() - 8).toLongLong();
  EXPECT_GE(ms, static_cast<long long>(before * 1000));
  EXPECT_LE(ms, static_cast<long long>(after * 1000));
}

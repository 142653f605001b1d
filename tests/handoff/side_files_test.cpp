// What the hand-off writes: the pointer samples kept, the click description,
// the side files' exact bytes and their atomic replacement, and the names of
// video files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <limits>

#include "handoff/click_description.h"
#include "handoff/pointer_log.h"
#include "handoff/side_file_json.h"
#include "handoff/storage.h"
#include "handoff/video_file.h"
#include "harness/test_files.h"

using namespace moxi;
using namespace moxi::test;
namespace fs = std::filesystem;

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

TEST(PointerSample, KeepsPointerEventsOverTheWindowEdgesIncludedOnly) {
  const Rect frame{100, 200, 640, 480};  // bottom-left convention
  auto sample = [&](int type, Point at, uint32_t window = 7) {
    return pointerSample(type, window, 7, frame, at, 1000.0, 1002.5);
  };
  EXPECT_EQ(sample(kMouseMoved, {150.5, 260}), (MouseEvent{50.5, 60, false, 2.5}));
  EXPECT_EQ(sample(kLeftMouseDown, {100, 200}), (MouseEvent{0, 0, true, 2.5}));
  EXPECT_EQ(sample(kRightMouseDown, {740, 680}), (MouseEvent{640, 480, true, 2.5}));
  for (int type : {kLeftMouseUp, kLeftMouseDragged, kRightMouseDragged, kFlagsChanged})
    EXPECT_EQ(sample(type, {740, 200}), (MouseEvent{640, 0, false, 2.5})) << type;
  for (Point outside : std::initializer_list<Point>{{99, 300}, {740.001, 300}, {300, 199.5}, {300, 681}, {kNan, 300}})
    EXPECT_FALSE(sample(kLeftMouseDown, outside)) << outside.x << "," << outside.y;
  EXPECT_FALSE(sample(kLeftMouseDown, {300, 300}, 8));                                // another window
  EXPECT_FALSE(pointerSample(kLeftMouseDown, 7, 7, std::nullopt, {300, 300}, 0, 1));  // window gone
}

TEST(ClickDescription, SizeThenOneTruncatedGroupPerClickAndNothingUnrepresentable) {
  const std::pair<std::string, std::string> cases[] = {
      {clickDescription({1064.9, 860.2}, {{512.4, 300.9, true, 1.534}, {1, 1, false, 2}, {80.99, 122.5, true, 4.0109}}),
       "moxiscope:1064,860,512,300,1534,80,122,4010"},
      {clickDescription({10, 10}, {{-0.5, -1.7, true, -0.0025}}), "moxiscope:10,10,0,-1,-2"},
      {clickDescription({kInf, 1e19}, {{kNan, 1, true, 1}, {1, 2, true, 1e300}, {3, 4, true, 0.5}}),
       "moxiscope:0,0,3,4,500"},
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
}

TEST(SideFileJson, ShortestNumbersAndCompactEscapedText) {
  const std::pair<double, std::optional<std::string>> numbers[] = {
      {100000, "100000"}, {1.1, "1.1"}, {0.1 + 0.2, "0.30000000000000004"}, {1e-7, "1e-07"},
      {1e21, "1e+21"},    {kNan, {}},   {-kInf, {}}};
  for (const auto& [v, text] : numbers) EXPECT_EQ(json::number(v), text) << v;
  EXPECT_EQ(json::encode(std::vector<MouseEvent>{{10.5, 20, true, 1.25}, {0, 720, false, 0.000125}}),
            R"([{"x":10.5,"y":20,"down":true,"timestamp":1.25},{"x":0,"y":720,"down":false,"timestamp":0.000125}])");
  EXPECT_EQ(json::encode(std::vector<MouseEvent>{{1, kNan, false, 0}}), std::nullopt);
  EXPECT_EQ(json::encode("file:///a b/\"q\"\\\n\x01\xc3\xa9"), R"("file:\/\/\/a b\/\"q\"\\\n\u0001é")");
  for (const char* bad : {"\xc3", "\xed\xa0\x80", "\xc0\xaf", "\xe0\x80\xaf", "\xf4\x90\x80\x80"})
    EXPECT_EQ(json::encode(bad), std::nullopt) << "malformed UTF-8";
}

TEST(Storage, ReplacesSideFilesAtomicallyWithMode0600AndAFailureKeepsTheOldFile) {
  PrivateHome home;
  const std::string docs = home.documents();
  ASSERT_TRUE(Storage::saveSideFile(Size{1280, 720}, false, "videosize.json"));
  writeFile(docs + "/mouse.json", "old and longer content");
  fs::permissions(docs + "/mouse.json", fs::perms(0644));
  ASSERT_TRUE(Storage::saveSideFile(std::vector<MouseEvent>{{3, 4, true, 0.5}}, false, "mouse.json"));
  ASSERT_TRUE(Storage::saveSideFile(QUrl::fromLocalFile("/tmp/a.mp4"), true, "video.json"));
  EXPECT_EQ(readFile(docs + "/mouse.json"), R"([{"x":3,"y":4,"down":true,"timestamp":0.5}])");
  for (const auto& e : fs::directory_iterator(docs)) EXPECT_EQ(e.status().permissions(), fs::perms(0600)) << e.path();
  EXPECT_EQ(fs::status(home.caches()).permissions(), fs::perms(0700));

  // Each failure leaves what was there.
  EXPECT_FALSE(Storage::saveSideFile(Size{kInf, 2}, false, "videosize.json"));
  fs::remove(docs + "/mouse.json");
  fs::create_directory(docs + "/mouse.json");  // a directory in the way
  EXPECT_FALSE(Storage::saveSideFile(std::vector<MouseEvent>{}, false, "mouse.json"));
  EXPECT_EQ(readFile(docs + "/videosize.json"), "[1280,720]");
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(docs), fs::directory_iterator()), 2);

  // A caches folder that cannot be made has its stand-in in the temporary
  // folder, never at the root: a TMPDIR that does not exist gives way to /tmp.
  fs::remove_all(home.path() + "/cache");
  writeFile(home.path() + "/cache", "");
  const char* oldTemp = std::getenv("TMPDIR");
  const std::string savedTemp = oldTemp ? oldTemp : "";
  setenv("TMPDIR", (home.path() + "/no-such-dir").c_str(), 1);
  const std::optional<Storage::Folder> folder = Storage::cachesFolder();
  oldTemp ? setenv("TMPDIR", savedTemp.c_str(), 1) : unsetenv("TMPDIR");
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->path.toStdString(), "/tmp/moxiscope-" + std::to_string(getuid()) + "-cache");
}

TEST(VideoFile, NamedAfterTruncatedMillisecondsOncePerProcess) {
  const std::pair<double, const char*> names[] = {
      {1.2349, "tmp-1234.mp4"}, {725000000.0009, "tmp-725000000000.mp4"}, {-0.0019, "tmp--1.mp4"}};
  for (const auto& [seconds, name] : names) EXPECT_EQ(videoFileName(seconds), name);

  PrivateHome home;
  fs::create_directories(home.caches());
  writeFile(home.caches() + "/tmp-5000.mp4", "stale");
  EXPECT_EQ(makeVideoFileURL(5.0).toLocalFile().toStdString(), home.caches() + "/tmp-5000.mp4");
  EXPECT_FALSE(fs::exists(home.caches() + "/tmp-5000.mp4"));
  // The same millisecond again (the next raw file while the last is
  // exported): the next millisecond, and the recording is not removed.
  writeFile(home.caches() + "/tmp-5000.mp4", "recording");
  EXPECT_EQ(makeVideoFileURL(5.0).fileName().toStdString(), "tmp-5001.mp4");
  EXPECT_EQ(readFile(home.caches() + "/tmp-5000.mp4"), "recording");
}

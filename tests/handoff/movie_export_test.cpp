// The pass-through M4V export against real files: a fragmented raw H.264 +
// AAC recording made by the ffmpeg command line, read back with ffprobe.
// The end-to-end programs check the brand, title and box order of real
// recordings; this one the sources a recording session cannot give.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "handoff/click_description.h"
#include "handoff/movie_export.h"
#include "handoff/recovery.h"
#include "harness/media_files.h"
#include "harness/test_desktop.h"
#include "harness/test_files.h"

using namespace moxi;
using namespace moxi::test;
namespace fs = std::filesystem;

namespace {
// A short raw recording, fragmented as the recorder writes it.
void makeRaw(const std::string& path) {
  output({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=30", "-t", "1", "-c:v",
          "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-movflags",
          "frag_keyframe+empty_moov+default_base_moof", path});
}
}  // namespace

TEST(MovieExport, CopiesEveryPacketUpToACutSourcesLastWholeOneAndEachFailureNamesItsCauseAndLeavesNoFile) {
  PrivateHome home;
  auto path = [&](const std::string& name) { return home.path() + "/" + name; };
  // Fragmented like the recorder writes it, so that a cut-off file stays readable.
  output({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=30", "-f", "lavfi", "-i",
          "sine=frequency=440:sample_rate=44100", "-t", "3", "-c:v", "libx264", "-preset", "ultrafast", "-g", "30",
          "-pix_fmt", "yuv420p", "-c:a", "aac", "-movflags", "frag_keyframe+empty_moov+default_base_moof",
          path("raw.mp4")});
  std::vector<MouseEvent> clicks;
  for (int i = 0; i < 1000; ++i) clicks.push_back({i + 0.5, 239.9 - i % 240, true, i * 0.0031});
  const std::string description = clickDescription({320, 240}, clicks);
  ExportResult result = exportMovie(path("raw.mp4"), path("export.mp4"), description);
  ASSERT_TRUE(result.ok()) << result.reason;
  EXPECT_FALSE(result.sourceTruncated);
  EXPECT_EQ(formatTag(path("export.mp4"), "description"), description);
  const auto whole = packets(path("raw.mp4"));
  EXPECT_EQ(packets(path("export.mp4")), whole);
  ASSERT_EQ(whole.size(), 2u);

  // A killed recording: what came before its damaged end, unchanged.
  const std::string bytes = readFile(path("raw.mp4"));
  writeFile(path("cut.mp4"), bytes.substr(0, bytes.size() - 700));
  result = exportMovie(path("cut.mp4"), path("cut-export.mp4"), "moxiscope:");
  ASSERT_TRUE(result.ok()) << result.reason;
  EXPECT_TRUE(result.sourceTruncated);
  const auto kept = packets(path("cut-export.mp4"));
  ASSERT_EQ(kept.size(), 2u);
  for (size_t s = 0; s < 2; ++s)
    EXPECT_TRUE(kept[s].size() <= whole[s].size() && std::equal(kept[s].begin(), kept[s].end(), whole[s].begin()));

  // Killed before its first fragment: headers only, no packet.
  const auto boxes = topLevelBoxes(path("raw.mp4"));
  const auto moof = std::find_if(boxes.begin(), boxes.end(), [](const Box& b) { return b.type == "moof"; });
  ASSERT_TRUE(moof != boxes.end());
  writeFile(path("empty.mp4"), bytes.substr(0, moof->offset));
  // A source that cannot be opened is the session error, distinct from a
  // failed export; each names its cause and leaves no file.
  const std::tuple<std::string, std::string, ExportStatus, std::string> failures[] = {
      {"empty.mp4", "out.mp4", ExportStatus::failed, "no readable packet"},
      {"raw.mp4", "no/such/dir/out.mp4", ExportStatus::failed, "out.mp4"},
      {"missing.mp4", "out.mp4", ExportStatus::noSession, ""}};
  for (const auto& [source, out, status, reason] : failures) {
    result = exportMovie(path(source), path(out), "moxiscope:");
    EXPECT_EQ(result.status, status) << source;
    EXPECT_NE(result.reason.find(reason), std::string::npos) << result.reason;
    EXPECT_FALSE(result.reason.empty() || std::filesystem::exists(path(out))) << source;
  }
}

// After a crash: each raw recording's journal gives its export the size and
// the clicks (a line torn by the crash is left out); a journal without its
// recording, or whose export was finished, is dropped; a raw file that
// cannot be read is kept; and nothing is exported twice.
TEST(Recovery, ExportsEveryInterruptedRecordingOnceWithTheClicksOfItsJournal) {
  PrivateHome home;
  const std::string dir = home.caches();
  fs::create_directories(dir);
  auto raw = [&](int n) { return dir + "/tmp-" + std::to_string(n) + ".mp4"; };
  auto journal = [&](int n, Size size) {
    std::string error;
    auto j = RecordingJournal::create(QString::fromStdString(raw(n)), size, &error);
    EXPECT_TRUE(j) << error;
    return j;
  };
  makeRaw(raw(1));
  journal(1, {320, 240})->append({{10.5, 20, true, 0.25}, {30, 40, false, 0.5}, {7, 8, true, 0.75}}, 1);
  writeFile(raw(1) + ".journal", readFile(raw(1) + ".journal") + R"({"x":50,"y":60,"down":tr)");
  writeFile(raw(2), "not a movie");
  journal(2, {320, 240});
  journal(3, {320, 240});  // its recording is gone
  fs::copy_file(raw(1), raw(4));
  journal(4, {320, 240});
  writeFile(dir + "/done.mp4", "the finished export");
  RecordingJournal::noteExport(QString::fromStdString(raw(4) + ".journal"), QString::fromStdString(dir + "/done.mp4"));

  int next = 100;
  auto recover = [&] {
    return recoverInterruptedRecordings(QString::fromStdString(dir), [&] {
      return QUrl::fromLocalFile(QString::fromStdString(dir + "/movie-" + std::to_string(next++) + ".mp4"));
    });
  };
  const std::vector<RecoveredRecording> recovered = recover();
  ASSERT_EQ(recovered.size(), 2u);
  EXPECT_EQ(recovered[0].raw.toStdString(), raw(1));
  EXPECT_EQ(formatTag(recovered[0].movie.toLocalFile().toStdString(), "description"), "moxiscope:320,240,7,8,750");
  EXPECT_EQ(recovered[1].raw.toStdString(), raw(2));
  EXPECT_TRUE(recovered[1].movie.isEmpty());
  EXPECT_FALSE(recovered[1].problem.empty());
  EXPECT_EQ(readFile(raw(2)), "not a movie");
  for (const auto& e : fs::directory_iterator(dir)) EXPECT_FALSE(e.path().string().ends_with(".journal")) << e.path();
  EXPECT_EQ(next, 102);
  EXPECT_TRUE(recover().empty());
}

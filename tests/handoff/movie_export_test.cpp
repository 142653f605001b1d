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
#include "harness/media_files.h"
#include "harness/test_desktop.h"
#include "harness/test_files.h"

using namespace moxi;
using namespace moxi::test;

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

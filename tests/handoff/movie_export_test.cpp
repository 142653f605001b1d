// The pass-through M4V export against real files: a fragmented raw H.264 +
// AAC recording made by the ffmpeg command line, read back with ffprobe.
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
namespace fs = std::filesystem;

namespace {

class MovieExport : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new PrivateHome;
    // Fragmented like the recorder writes it, so that a cut-off file stays readable.
    output({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=30", "-f", "lavfi",
            "-i", "sine=frequency=440:sample_rate=44100", "-t", "3", "-c:v", "libx264", "-preset", "ultrafast", "-g",
            "30", "-pix_fmt", "yuv420p", "-c:a", "aac", "-movflags", "frag_keyframe+empty_moov+default_base_moof",
            raw()});
  }
  static void TearDownTestSuite() { delete home_; }
  static std::string raw() { return path("raw.mp4"); }
  static std::string path(const std::string& name) { return home_->path() + "/" + name; }
  static inline PrivateHome* home_ = nullptr;
};

}  // namespace

TEST_F(MovieExport, WritesAnM4VWithMetadataHeaderFirstAndTheSamePacketsToTheEnd) {
  std::vector<MouseEvent> clicks;
  for (int i = 0; i < 1000; ++i) clicks.push_back({i + 0.5, 239.9 - i % 240, true, i * 0.0031});
  const std::string description = clickDescription({320, 240}, clicks), out = path("export.mp4");
  ExportResult result = exportMovie(raw(), out, description);
  ASSERT_TRUE(result.ok()) << result.reason;
  EXPECT_FALSE(result.sourceTruncated);
  EXPECT_EQ(formatTag(out, "major_brand"), "M4V ");
  EXPECT_EQ(formatTag(out, "title"), "Moxiscope");
  EXPECT_EQ(formatTag(out, "description"), description);
  std::string types;
  for (const auto& box : topLevelBoxes(out)) types += box.type + " ";
  EXPECT_TRUE(types.starts_with("ftyp ") && types.find("moov") < types.find("mdat")) << types;
  auto streams = packets(out);
  EXPECT_EQ(streams, packets(raw()));
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(result.packets, static_cast<int64_t>(streams[0].size() + streams[1].size()));
}

TEST_F(MovieExport, AKilledRecordingExportsUpToItsLastWholePacketAndFailuresLeaveNoFile) {
  std::string bytes = readFile(raw());
  writeFile(path("cut.mp4"), bytes.substr(0, bytes.size() - 700));
  ExportResult result = exportMovie(path("cut.mp4"), path("cut-export.mp4"), "moxiscope:");
  ASSERT_TRUE(result.ok()) << result.reason;
  EXPECT_TRUE(result.sourceTruncated);
  auto whole = packets(raw()), kept = packets(path("cut-export.mp4"));
  ASSERT_EQ(kept.size(), whole.size());
  for (size_t s = 0; s < kept.size(); ++s) {
    ASSERT_LE(kept[s].size(), whole[s].size());
    EXPECT_TRUE(std::equal(kept[s].begin(), kept[s].end(), whole[s].begin())) << "stream " << s;
  }
  EXPECT_LT(kept[0].size() + kept[1].size(), whole[0].size() + whole[1].size());

  // Killed before its first fragment: headers only, no packet.
  for (const auto& [offset, type] : topLevelBoxes(raw()))
    if (type == "moof") {
      writeFile(path("empty.mp4"), bytes.substr(0, offset));
      break;
    }
  // A source that is missing or no movie is the session error, distinct
  // from a failed export; each names its cause and leaves no file.
  writeFile(path("text.mp4"), "not a movie");
  const std::tuple<std::string, std::string, ExportStatus, std::string> failures[] = {
      {path("empty.mp4"), path("out.mp4"), ExportStatus::failed, "no readable packet"},
      {raw(), path("no/such/dir/out.mp4"), ExportStatus::failed, "out.mp4"},
      {path("missing.mp4"), path("out.mp4"), ExportStatus::noSession, ""},
      {path("text.mp4"), path("out.mp4"), ExportStatus::noSession, ""}};
  for (const auto& [source, out, status, reason] : failures) {
    result = exportMovie(source, out, "moxiscope:");
    EXPECT_EQ(result.status, status) << source;
    EXPECT_NE(result.reason.find(reason), std::string::npos) << result.reason;
    EXPECT_FALSE(result.reason.empty() || fs::exists(out)) << source;
  }
}

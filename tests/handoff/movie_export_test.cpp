// The pass-through M4V export against real files: a fragmented raw H.264 +
// AAC recording made by the ffmpeg command line, read back with ffprobe.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>

#include "handoff/click_description.h"
#include "handoff/handoff_support.h"
#include "handoff/movie_export.h"
#include "harness/test_desktop.h"

using namespace moxi;
using namespace moxi::test;
namespace fs = std::filesystem;

namespace {

std::string run(const std::vector<std::string>& argv) {
  auto r = runCommand(argv, std::chrono::seconds(60));
  EXPECT_EQ(r.exitCode, 0) << argv[0] << " " << argv.back();
  return r.out;
}

// Each stream's packets in file order: "pts time,dts time,size,flags,MD5 of data".
std::vector<std::vector<std::string>> packets(const std::string& file) {
  std::string out = run({"ffprobe", "-v", "error", "-show_data_hash", "MD5", "-show_entries",
                         "packet=stream_index,pts_time,dts_time,size,flags,data_hash", "-of", "csv=p=0", file});
  std::vector<std::vector<std::string>> streams;
  for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    size_t comma = out.find(',', start), index = std::stoul(out.substr(start, comma - start));
    if (streams.size() <= index) streams.resize(index + 1);
    streams[index].push_back(out.substr(comma + 1, end - comma - 1));
  }
  return streams;
}

// The top-level boxes of an MPEG-4 file: offset and type, in order.
std::vector<std::pair<size_t, std::string>> boxes(const std::string& bytes) {
  std::vector<std::pair<size_t, std::string>> found;
  for (size_t at = 0, size; at + 8 <= bytes.size(); at += size) {
    size = 0;
    for (size_t i = 0; i < 4; ++i) size = size << 8 | static_cast<unsigned char>(bytes[at + i]);
    found.emplace_back(at, bytes.substr(at + 4, 4));
    if (size < 8) break;  // (no 64-bit sizes in files this small)
  }
  return found;
}

class MovieExport : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new PrivateHome;
    // Fragmented like the recorder writes it, so that a cut-off file stays readable.
    run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=30", "-f", "lavfi", "-i",
         "sine=frequency=440:sample_rate=44100", "-t", "3", "-c:v", "libx264", "-preset", "ultrafast", "-g", "30",
         "-pix_fmt", "yuv420p", "-c:a", "aac", "-movflags", "frag_keyframe+empty_moov+default_base_moof", raw()});
  }
  static void TearDownTestSuite() { delete home_; }
  static std::string raw() { return path("raw.mp4"); }
  static std::string path(const std::string& name) { return home_->path() + "/" + name; }
  static inline PrivateHome* home_ = nullptr;
};

}  // namespace

TEST_F(MovieExport, WritesAnM4VWithMetadataHeaderFirstAndTheSamePackets) {
  std::vector<MouseEvent> clicks;
  for (int i = 0; i < 1000; ++i) clicks.push_back({i + 0.5, 239.9 - i % 240, true, i * 0.0031});
  for (const std::string& description : {clickDescription({320, 240}, clicks), std::string("moxiscope:")}) {
    std::string out = path("export.mp4");
    ExportResult result = exportMovie(raw(), out, description);
    ASSERT_TRUE(result.ok()) << result.reason;
    EXPECT_FALSE(result.sourceTruncated);

    auto tags = nlohmann::json::parse(run({"ffprobe", "-v", "error", "-show_entries", "format_tags", "-of", "json",
                                           out}))["format"]["tags"];
    EXPECT_EQ(tags["major_brand"], "M4V ");
    EXPECT_EQ(tags["title"], "Moxiscope");
    EXPECT_EQ(tags["description"], description);

    std::vector<std::string> types;
    for (const auto& box : boxes(readFile(out))) types.push_back(box.second);
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(types[0], "ftyp");
    auto mdat = std::find(types.begin(), types.end(), "mdat");
    EXPECT_TRUE(std::find(types.begin(), types.end(), "moov") < mdat && mdat != types.end());

    auto streams = packets(out);
    EXPECT_EQ(streams, packets(raw()));
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].size(), 90u);  // 3 s at 30 frames per second
    EXPECT_EQ(result.packets, static_cast<int64_t>(streams[0].size() + streams[1].size()));
  }
}

TEST_F(MovieExport, AKilledRecordingExportsUpToItsLastWholePacket) {
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
  EXPECT_EQ(result.packets, static_cast<int64_t>(kept[0].size() + kept[1].size()));
  EXPECT_LT(kept[0].size() + kept[1].size(), whole[0].size() + whole[1].size());
}

TEST_F(MovieExport, FailuresSayWhyAndLeaveNoFile) {
  // Killed before its first fragment: headers only, no packet.
  std::string bytes = readFile(raw());
  for (const auto& [offset, type] : boxes(bytes))
    if (type == "moof") {
      writeFile(path("empty.mp4"), bytes.substr(0, offset));
      break;
    }
  ExportResult result = exportMovie(path("empty.mp4"), path("out.mp4"), "moxiscope:");
  EXPECT_EQ(result.status, ExportStatus::failed);
  EXPECT_NE(result.reason.find("no readable packet"), std::string::npos) << result.reason;
  EXPECT_FALSE(fs::exists(path("out.mp4")));

  result = exportMovie(raw(), path("no/such/dir/out.mp4"), "moxiscope:");
  EXPECT_EQ(result.status, ExportStatus::failed);
  EXPECT_NE(result.reason.find("out.mp4"), std::string::npos) << result.reason;

  // A source that is missing or no movie: the session error, distinct.
  writeFile(path("text.mp4"), "not a movie");
  for (const std::string& source : {path("missing.mp4"), path("text.mp4")}) {
    result = exportMovie(source, path("out.mp4"), "moxiscope:");
    EXPECT_EQ(result.status, ExportStatus::noSession) << source;
    EXPECT_FALSE(result.reason.empty());
    EXPECT_FALSE(fs::exists(path("out.mp4")));
  }
}

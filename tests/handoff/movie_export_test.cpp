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
using moxi::test::readFile;
using moxi::test::runCommand;
namespace fs = std::filesystem;

namespace {

class MovieExport : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new moxi::test::PrivateHome;
    // Fragmented like the recorder writes it: readable up to the last whole
    // fragment even when the writer was killed.
    auto r = runCommand({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=30", "-f",
                         "lavfi", "-i", "sine=frequency=440:sample_rate=44100", "-t", "3", "-c:v", "libx264",
                         "-preset", "ultrafast", "-g", "30", "-pix_fmt", "yuv420p", "-c:a", "aac", "-movflags",
                         "frag_keyframe+empty_moov+default_base_moof", raw()},
                        std::chrono::seconds(60));
    ASSERT_EQ(r.exitCode, 0) << "the ffmpeg command line could not make a test recording";
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string raw() { return dir_->path() + "/raw.mp4"; }
  static std::string path(const std::string& name) { return dir_->path() + "/" + name; }

  static nlohmann::json probe(const std::string& file, const std::string& entries) {
    auto r = runCommand({"ffprobe", "-v", "error", "-show_entries", entries, "-of", "json", file});
    EXPECT_EQ(r.exitCode, 0) << file;
    return nlohmann::json::parse(r.out.empty() ? "{}" : r.out);
  }

  // Each stream's packets in order, as "time,dts time,size,flags,MD5 of data".
  static std::vector<std::vector<std::string>> packets(const std::string& file) {
    auto r = runCommand({"ffprobe", "-v", "error", "-show_data_hash", "MD5", "-show_entries",
                         "packet=stream_index,pts_time,dts_time,size,flags,data_hash", "-of", "csv=p=0", file});
    EXPECT_EQ(r.exitCode, 0) << file;
    std::vector<std::vector<std::string>> streams;
    size_t start = 0;
    for (size_t end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = r.out.substr(start, end - start);
      size_t comma = line.find(',');
      size_t index = std::stoul(line.substr(0, comma));
      if (streams.size() <= index) streams.resize(index + 1);
      streams[index].push_back(line.substr(comma + 1));
    }
    return streams;
  }

  // The four-character types of the file's top-level boxes, in order, and
  // where each starts.
  static std::vector<std::string> topLevelBoxes(const std::string& file, std::vector<size_t>* offsets = nullptr) {
    std::string bytes = readFile(file);
    std::vector<std::string> boxes;
    for (size_t at = 0; at + 8 <= bytes.size();) {
      auto byte = [&](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(bytes[at + i])); };
      uint64_t size = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
      boxes.push_back(bytes.substr(at + 4, 4));
      if (offsets) offsets->push_back(at);
      if (size == 1 && at + 16 <= bytes.size()) {
        size = 0;
        for (size_t i = 8; i < 16; ++i) size = size << 8 | byte(i);
      }
      if (size < 8) break;
      at += size;
    }
    return boxes;
  }

  static inline moxi::test::PrivateHome* dir_ = nullptr;
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

    auto tags = probe(out, "format_tags")["format"]["tags"];
    EXPECT_EQ(tags["major_brand"], "M4V ");
    EXPECT_EQ(tags["title"], "Moxiscope");
    EXPECT_EQ(tags["description"], description);

    auto boxes = topLevelBoxes(out);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.front(), "ftyp");
    auto moov = std::find(boxes.begin(), boxes.end(), "moov");
    auto mdat = std::find(boxes.begin(), boxes.end(), "mdat");
    EXPECT_TRUE(moov < mdat && mdat != boxes.end());

    auto streams = packets(out);
    EXPECT_EQ(streams, packets(raw()));
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].size(), 90u);  // 3 s at 30 frames per second
    EXPECT_EQ(result.packets, static_cast<int64_t>(streams[0].size() + streams[1].size()));
  }
}

TEST_F(MovieExport, AKilledRecordingExportsUpToItsLastWholePacket) {
  std::string cut = path("cut.mp4");
  std::string bytes = readFile(raw());
  moxi::test::writeFile(cut, bytes.substr(0, bytes.size() - 700));
  std::string out = path("cut-export.mp4");
  ExportResult result = exportMovie(cut, out, "moxiscope:");
  ASSERT_TRUE(result.ok()) << result.reason;
  EXPECT_TRUE(result.sourceTruncated);

  auto whole = packets(raw());
  auto kept = packets(out);
  ASSERT_EQ(kept.size(), whole.size());
  size_t total = 0;
  for (size_t s = 0; s < kept.size(); ++s) {
    ASSERT_LE(kept[s].size(), whole[s].size());
    EXPECT_TRUE(std::equal(kept[s].begin(), kept[s].end(), whole[s].begin())) << "stream " << s;
    total += kept[s].size();
  }
  EXPECT_EQ(static_cast<int64_t>(total), result.packets);
  EXPECT_LT(total, whole[0].size() + whole[1].size());
}

TEST_F(MovieExport, ARecordingWithoutPacketsFailsAndLeavesNoFile) {
  // Killed before its first fragment: headers only.
  std::vector<size_t> offsets;
  auto boxes = topLevelBoxes(raw(), &offsets);
  auto moof = std::find(boxes.begin(), boxes.end(), "moof");
  ASSERT_NE(moof, boxes.end());
  moxi::test::writeFile(path("empty.mp4"), readFile(raw()).substr(0, offsets[size_t(moof - boxes.begin())]));
  std::string out = path("empty-export.mp4");
  ExportResult result = exportMovie(path("empty.mp4"), out, "moxiscope:");
  EXPECT_EQ(result.status, ExportStatus::failed);
  EXPECT_NE(result.reason.find("no readable packet"), std::string::npos) << result.reason;
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(MovieExport, ASourceThatCannotBeOpenedIsTheSessionError) {
  for (std::string source : {path("missing.mp4"), path("text.mp4")}) {
    moxi::test::writeFile(path("text.mp4"), "not a movie");
    std::string out = path("never.mp4");
    ExportResult result = exportMovie(source, out, "moxiscope:");
    EXPECT_EQ(result.status, ExportStatus::noSession) << source;
    EXPECT_FALSE(result.reason.empty());
    EXPECT_FALSE(fs::exists(out));
  }
  EXPECT_EQ(kNoExportSessionMessage, "error creating export session");
}

TEST_F(MovieExport, AnOutputThatCannotBeWrittenFailsWithAReason) {
  ExportResult result = exportMovie(raw(), path("no/such/dir/out.mp4"), "moxiscope:");
  EXPECT_EQ(result.status, ExportStatus::failed);
  EXPECT_NE(result.reason.find("out.mp4"), std::string::npos) << result.reason;
}

#pragma once
// Pass-through export of a raw recording as an M4V movie (MPEG-4 "ipod"
// flavour, brand "M4V ") with the title "Moxiscope" and the click
// description as metadata, the movie header before the media data, and
// every packet copied unchanged. Synchronous: run it off the main thread.
#include <cstdint>
#include <string>
#include <string_view>

namespace moxi {

inline constexpr std::string_view kMovieTitle = "Moxiscope";
// The log line for a source that cannot be opened as a movie.
inline constexpr std::string_view kNoExportSessionMessage = "error creating export session";

enum class ExportStatus {
  exported,   // the output is complete
  noSession,  // the source cannot be opened: nothing was written
  failed,     // the output could not be completed: it was removed
};

struct ExportResult {
  ExportStatus status = ExportStatus::failed;
  std::string reason;            // one line saying why, empty when exported
  int64_t packets = 0;           // packets copied
  bool sourceTruncated = false;  // reading stopped at a damaged end (kept what came before)
  bool ok() const { return status == ExportStatus::exported; }
};

// Copies the audio and video streams of `sourcePath` into a new movie at
// `outputPath` with metadata "description" then "title". A source whose end
// is cut off (a fragmented recording that was killed) exports up to its last
// whole packet. It reports success only when at least one packet was
// written and the file was finished and closed without error.
ExportResult exportMovie(const std::string& sourcePath, const std::string& outputPath,
                         const std::string& description);

}  // namespace moxi

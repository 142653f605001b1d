#pragma once
// The window catalogue (which windows can be recorded, front-most first, with
// a title and a thumbnail each) and the window lookups used while recording.
// Free functions over a WindowServer; they keep no state between calls.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture/capturable_window.h"
#include "capture/window_server.h"
#include "common/geometry.h"

namespace moxi {

inline constexpr double kThumbnailBox = 64.0;  // points; the larger side of every thumbnail

// Builds a fresh catalogue. Absent (after logging "error listWindows, no
// permission") when the capture service refuses; `sharedDisplay` is then left
// as it was, otherwise it becomes the first display reported (or nothing).
// Slow: takes one full-resolution picture per window; call it off the main
// thread. The caller serialises access to `sharedDisplay`. With `wanted`,
// only the windows it accepts are listed, and without their pictures (the
// entries' thumbnails stay empty): those are only checked to be there.
std::optional<std::vector<CapturableWindow>> listWindows(
    WindowServer& server, std::optional<CaptureDisplay>& sharedDisplay,
    const std::function<bool(const CaptureWindow&)>& wanted = {});

// The steps of listWindows, for callers and tests that need one of them.
// Layer at most 2, at least 64 points wide and 16 high (NaN fails).
bool passesCatalogueFilter(const CaptureWindow& window);
// Puts the windows listed in `onScreenOrder` into that order (first
// occurrence counts), stably. A window missing from `onScreenOrder` keeps its
// place in the list.
void sortFrontToBack(std::vector<CaptureWindow>& windows, const std::vector<uint32_t>& onScreenOrder);
// "Application - Title", "Application - notitle", or the bare title without
// an owning application.
std::string catalogueTitle(const CaptureWindow& window);
// A picture's size scaled so that its larger side is kThumbnailBox.
Size thumbnailSize(Size picture);

// Converts a rectangle between the top-left and the bottom-left convention
// about `top`, the maximum y of the primary screen (0 without a screen).
// Applied twice it gives the rectangle back.
Rect flippedRect(const Rect& rect, double top);
Rect flippedRect(const Rect& rect, WindowServer& server);
double primaryScreenTop(WindowServer& server);

// The window's current frame in the bottom-left convention; absent once the
// window is gone.
std::optional<Rect> currentWindowFrame(WindowServer& server, uint32_t windowID);

// Brings the window's application to the front: when the window is on screen
// and its owning process still runs, the window manager activates the window.
// Fails silently.
void activateOwningApplication(WindowServer& server, int32_t windowID);

}  // namespace moxi

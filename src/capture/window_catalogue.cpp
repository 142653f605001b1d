#include "capture/window_catalogue.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <unordered_map>

#include "common/log.h"

namespace moxi {

bool passesCatalogueFilter(const CaptureWindow& window) {
  // Written as positive tests so that NaN fails them.
  return window.windowLayer <= 2 && window.frame.width >= 64.0 && window.frame.height >= 16.0;
}

void sortFrontToBack(std::vector<CaptureWindow>& windows, const std::vector<uint32_t>& onScreenOrder) {
  std::unordered_map<uint32_t, size_t> position;
  for (size_t i = 0; i < onScreenOrder.size(); ++i) position.try_emplace(onScreenOrder[i], i);

  // "a before b when both are listed and a is listed first" leaves unlisted
  // windows incomparable to everything, which is not a strict weak ordering
  // and so not a valid comparator. Sort the listed windows among the places
  // they hold and leave the unlisted ones where they are.
  std::vector<size_t> places;
  std::vector<std::pair<size_t, CaptureWindow>> listed;
  for (size_t i = 0; i < windows.size(); ++i) {
    if (auto it = position.find(windows[i].windowID); it != position.end()) {
      places.push_back(i);
      listed.emplace_back(it->second, std::move(windows[i]));
    }
  }
  std::stable_sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t k = 0; k < places.size(); ++k) windows[places[k]] = std::move(listed[k].second);
}

std::string catalogueTitle(const CaptureWindow& window) {
  std::string title;
  if (window.owningApplication) title = window.owningApplication->applicationName + " - ";
  title += window.title.value_or("notitle");
  return title;
}

Size thumbnailSize(Size picture) {
  const double s = std::min(kThumbnailBox / picture.width, kThumbnailBox / picture.height);
  return {picture.width * s, picture.height * s};
}

std::optional<std::vector<CapturableWindow>> listWindows(WindowServer& server,
                                                         std::optional<CaptureDisplay>& sharedDisplay,
                                                         const std::function<bool(const CaptureWindow&)>& wanted) {
  const std::vector<uint32_t> onScreenOrder = server.onScreenWindowOrder();
  std::optional<ShareableContent> content = server.shareableContent();
  if (!content) {
    logLine("error listWindows, no permission");
    return std::nullopt;
  }
  sharedDisplay = content->displays.empty() ? std::nullopt : std::optional(content->displays.front());

  std::vector<CaptureWindow> candidates;
  for (auto& w : content->windows) {
    if (passesCatalogueFilter(w) && (!wanted || wanted(w))) candidates.push_back(std::move(w));
  }
  sortFrontToBack(candidates, onScreenOrder);

  std::vector<CapturableWindow> entries;
  entries.reserve(candidates.size());
  for (auto& w : candidates) {
    CapturableWindow entry;
    if (wanted) {
      if (!server.windowPictureTakes(w.windowID)) continue;
    } else {
      std::optional<QImage> picture = server.windowPicture(w.windowID);
      if (!picture || picture->isNull()) continue;
      const Size size = thumbnailSize({double(picture->width()), double(picture->height())});
      entry.img = Thumbnail(std::make_shared<const QImage>(std::move(*picture)), size);
    }
    entry.windowID = w.windowID;
    entry.title = catalogueTitle(w);
    entry.window = std::move(w);
    entries.push_back(std::move(entry));
  }
  server.releasePictureMemory();
  return entries;
}

Rect flippedRect(const Rect& rect, double top) {
  return {rect.x, top - (rect.y + rect.height), rect.width, rect.height};
}

double primaryScreenTop(WindowServer& server) {
  std::optional<Rect> screen = server.primaryScreenFrame();
  return screen ? screen->maxY() : 0.0;
}

Rect flippedRect(const Rect& rect, WindowServer& server) { return flippedRect(rect, primaryScreenTop(server)); }

std::optional<Rect> currentWindowFrame(WindowServer& server, uint32_t windowID) {
  std::optional<Rect> bounds = server.windowBounds(windowID);
  if (!bounds) return std::nullopt;
  return flippedRect(*bounds, server);
}

void activateOwningApplication(WindowServer& server, int32_t windowID) {
  const auto id = static_cast<uint32_t>(windowID);
  std::optional<int32_t> pid = server.ownerProcessID(id);
  if (!pid || !server.processIsRunning(*pid)) return;
  // X has no notion of activating an application: the window manager raises
  // and focuses the window itself.
  server.activateWindow(id);
}

}  // namespace moxi

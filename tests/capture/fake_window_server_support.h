#pragma once
// A window server whose answers the test sets.
#include <map>
#include <set>

#include "capture/window_server.h"

namespace moxi::test {

class FakeWindowServer : public WindowServer {
 public:
  std::vector<uint32_t> order;
  std::optional<ShareableContent> content = ShareableContent{};
  std::map<uint32_t, QImage> pictures;
  std::map<uint32_t, Rect> bounds;
  std::map<uint32_t, int32_t> owners;
  std::set<int32_t> runningProcesses;
  std::optional<Rect> screen = Rect{0, 0, 1440, 900};
  std::vector<uint32_t> activated;

  std::vector<uint32_t> onScreenWindowOrder() override { return order; }
  std::optional<ShareableContent> shareableContent() override { return content; }
  std::optional<QImage> windowPicture(uint32_t id) override { return find(pictures, id); }
  std::optional<Rect> windowBounds(uint32_t id) override { return find(bounds, id); }
  std::optional<int32_t> ownerProcessID(uint32_t id) override { return find(owners, id); }
  bool processIsRunning(int32_t pid) override { return runningProcesses.count(pid) > 0; }
  void activateWindow(uint32_t id) override { activated.push_back(id); }
  std::optional<Rect> primaryScreenFrame() override { return screen; }

  // Adds a window to the shareable content, with a picture of its own size.
  CaptureWindow& addWindow(uint32_t id, Rect frame, int layer = 0) {
    content->windows.push_back({id, frame, layer, "window " + std::to_string(id), std::nullopt});
    QImage picture(std::max(1, int(frame.width)), std::max(1, int(frame.height)), QImage::Format_RGB32);
    picture.fill(Qt::gray);
    pictures[id] = picture;
    return content->windows.back();
  }

 private:
  template <class Map>
  static std::optional<typename Map::mapped_type> find(const Map& map, uint32_t id) {
    auto it = map.find(id);
    return it == map.end() ? std::nullopt : std::optional(it->second);
  }
};

}  // namespace moxi::test

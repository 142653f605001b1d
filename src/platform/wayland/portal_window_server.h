#pragma once
// The window server of a Wayland session. No client may list or read other
// clients' windows there, so the catalogue holds entries that open the
// desktop's picker ("Choose a window…", and "Record the last window again"
// once the desktop keeps a choice), and the one window is known after the
// picker: its PipeWire node number is its window number, its size its frame,
// and it is gone once its screen cast ends.
#include <QString>
#include <map>
#include <memory>
#include <mutex>

#include "capture/source_picker.h"
#include "capture/window_server.h"
#include "common/serial_queue.h"
#include "common/unique_fd.h"
#include "platform/wayland/pipewire_capture_stream.h"
#include "platform/wayland/portal_screencast.h"

namespace moxi {

inline constexpr uint32_t kChooseSourceEntryID = 0xFFFFFF01u;
inline constexpr uint32_t kPickAgainEntryID = 0xFFFFFF02u;

// What a capture stream needs of a shared window.
struct SharedSource {
  UniqueFd pipeWireRemote;  // the stream's own connection
  uint32_t nodeID = 0;
};

class PortalWindowServer final : public WindowServer, public SourcePicker {
 public:
  // Must be built on the main thread: the portal answers there.
  PortalWindowServer();
  ~PortalWindowServer() override;

  // WindowServer
  std::vector<uint32_t> onScreenWindowOrder() override;
  std::optional<ShareableContent> shareableContent() override;
  std::optional<QImage> windowPicture(uint32_t windowID) override;
  std::optional<Rect> windowBounds(uint32_t windowID) override;
  // A cast that ends is the desktop's doing: the program sees no window here.
  std::string goneReason(uint32_t) override { return "the desktop stopped sharing the window"; }
  std::optional<int32_t> ownerProcessID(uint32_t) override { return std::nullopt; }
  bool processIsRunning(int32_t) override { return false; }
  void activateWindow(uint32_t) override {}  // the desktop raises what it shares
  std::optional<Rect> primaryScreenFrame() override;

  // SourcePicker
  std::optional<bool> entryPicksAgain(uint32_t windowID) const override;
  bool canPickAgain() const override;
  void pick(bool again, bool showsCursor, std::function<void(PickResult)> done) override;

  // The PipeWire connection for recording a picked window, once; absent
  // when its cast ended or the connection was taken.
  std::optional<SharedSource> source(uint32_t windowID);
  // Its cast ended (from any thread): the window is gone from now on.
  void sourceEnded(uint32_t windowID);
  // The recording of it stopped: the desktop stops sharing it.
  void releaseSource(uint32_t windowID);

  // Windows, or (on some desktops) whole screens only.
  bool sharesWindows() const;
  // Said once in the popover: what this desktop shares, or why nothing.
  QString offerNote() const;

 private:
  struct Source {
    Size size;
    UniqueFd remote;
    std::shared_ptr<ScreenCastSession> session;
    bool ended = false;
  };
  static QString storedRestoreToken();
  // From what the desktop offers to its answer; a pick is open (`picking_`)
  // until endPick hands the result on.
  void askPortal(const ScreenCastOffer& offer, bool again, bool showsCursor, std::function<void(PickResult)> done);
  void finishPick(ScreenCastStart start, const std::function<void(PickResult)>& done);
  void endPick(const std::function<void(PickResult)>& done, PickResult result);
  // The portal tells the size of the screen a window is on, not the
  // window's; its first frame tells the window's, in the pixels it is drawn
  // with (no shadow, upright). The stream reports the pointer in the same
  // pixels, so the size in videosize.json and the description and the
  // pointer log agree, also at a fractional scale, where the desktop's own
  // crop and cursor are in other units than its picture.
  void measureThenPick(uint32_t id, bool window, Size portalSize, const std::function<void(PickResult)>& done);
  void completePick(uint32_t id, bool window, Size size, const std::function<void(PickResult)>& done);

  PortalScreenCast portal_;
  SerialQueue measureQueue_{"com.quillon.moxiscope.SharedWindowSize"};
  std::unique_ptr<PipeWireCaptureStream> measuring_;
  mutable std::mutex mutex_;
  std::optional<ScreenCastOffer> offer_;  // until the portal has answered
  bool picking_ = false;
  // A pick asked for before the portal said what it offers.
  std::function<void(const ScreenCastOffer&)> waitingForOffer_;
  std::map<uint32_t, Source> sources_;
  std::optional<uint32_t> current_;
};

}  // namespace moxi

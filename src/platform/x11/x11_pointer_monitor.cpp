#include "platform/x11/x11_pointer_monitor.h"

#include <poll.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcbext.h>  // xcb_poll_for_reply: the recorded input is one long reply

#include <chrono>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/log.h"
#include "handoff/pointer_log.h"

namespace moxi {

namespace {

// The core input events, KeyPress to MotionNotify, all laid out alike.
constexpr uint8_t kFirstInput = XCB_KEY_PRESS, kLastInput = XCB_MOTION_NOTIFY;
// catchUp() asks for a NoOperation of its own and waits until the server's
// record of it comes back: every input handled before it has come by then.
constexpr uint8_t kMarkerRequest = 127;  // X_NoOperation
// A client's warp moves the pointer too, but is no input: its move is left out.
constexpr uint8_t kWarpRequest = XCB_WARP_POINTER;
// The categories of recorded data (XCB has no names for them).
constexpr uint8_t kFromServer = 0, kFromClient = 1;
constexpr auto kCatchUpPatience = std::chrono::seconds(2);

}  // namespace

X11PointerMonitor::X11PointerMonitor() = default;

X11PointerMonitor::~X11PointerMonitor() { stop(); }

std::optional<PointerMonitor::Token> X11PointerMonitor::install(Handler handler) {
  if (!connection_ && !start()) return std::nullopt;
  Token token = nextToken_++;
  handlers_.emplace(token, std::move(handler));
  return token;
}

void X11PointerMonitor::remove(Token token) {
  handlers_.erase(token);
  // Without listeners the connections go; inside the read loop that waits
  // until the loop is done with them.
  if (handlers_.empty() && !dispatching_) stop();
}

bool X11PointerMonitor::start() {
  connection_ = std::make_unique<xcb::Connection>();
  if (!connection_->ok() || !connection_->screen()) {
    logLine("error installing the pointer monitor: cannot connect to the X display");
    stop();
    return false;
  }
  if (!startRecording()) {
    stop();
    return false;
  }
  xcb_connection_t* c = connection_->get();
  // Root size changes move the primary screen's bottom edge.
  uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, connection_->root(), XCB_CW_EVENT_MASK, &structure);
  loadMappings();
  loadHeldState();
  screenBottom_ = primaryScreenBottom();
  calibrateClock();
  xcb_flush(c);
  wake_.emplace();
  stopReader_.emplace();
  if (!wake_->valid() || !stopReader_->valid()) {
    logLine(std::string("error installing the pointer monitor: ") + std::strerror(errno));
    stop();
    return false;
  }
  reader_ = std::thread([this, c = data_->get(), sequence = enableSequence_] { pump(c, sequence); });
  notifier_ = std::make_unique<QSocketNotifier>(wake_->fd(), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readEvents(); });
  return true;
}

bool X11PointerMonitor::startRecording() {
  xcb_connection_t* c = connection_->get();
  const xcb_query_extension_reply_t* record = xcb_get_extension_data(c, &xcb_record_id);
  if (!record || !record->present) {
    logLine("error installing the pointer monitor: the X server has no RECORD extension");
    return false;
  }
  auto version = xcb::reply(c, xcb_record_query_version(c, 1, 13), xcb_record_query_version_reply);
  if (!version) {
    logLine("error installing the pointer monitor: the X server's RECORD extension does not answer");
    return false;
  }
  xcb_record_range_t ranges[3] = {};
  ranges[0].device_events = {kFirstInput, kLastInput};
  ranges[1].core_requests = {kMarkerRequest, kMarkerRequest};
  ranges[2].core_requests = {kWarpRequest, kWarpRequest};
  const xcb_record_client_spec_t clients = XCB_RECORD_CS_ALL_CLIENTS;
  const xcb_record_context_t id = xcb_generate_id(c);
  if (auto error = xcb::check(c, xcb_record_create_context_checked(c, id, 0, 1, 3, &clients, ranges))) {
    logLine("error installing the pointer monitor: recording input failed (X error " +
            std::to_string(error->error_code) + ")");
    return false;
  }
  context_ = Context(c, id);
  // Enabling takes a connection for good: its one request is answered until the context goes.
  data_ = std::make_unique<xcb::Connection>();
  if (!data_->ok()) {
    logLine("error installing the pointer monitor: cannot connect to the X display");
    return false;
  }
  enableSequence_ = xcb_record_enable_context(data_->get(), id).sequence;
  xcb_flush(data_->get());
  return true;
}

void X11PointerMonitor::stop() {
  notifier_.reset();
  if (reader_.joinable()) {
    if (!stopReader_->signal()) logLine("the pointer monitor's reader cannot be told to stop");
    reader_.join();
  }
  inbox_.clear();
  wake_.reset();
  stopReader_.reset();
  data_.reset();
  context_.reset();
  connection_.reset();
}

void X11PointerMonitor::loadMappings() {
  xcb_connection_t* c = connection_->get();
  for (size_t i = 0; i < buttonMap_.size(); ++i) buttonMap_[i] = static_cast<uint8_t>(i);
  if (auto r = xcb::reply(c, xcb_get_pointer_mapping(c), xcb_get_pointer_mapping_reply)) {
    const uint8_t* map = xcb_get_pointer_mapping_map(r.get());
    int n = xcb_get_pointer_mapping_map_length(r.get());
    for (size_t i = 0; i < static_cast<size_t>(n) && i + 1 < buttonMap_.size(); ++i) buttonMap_[i + 1] = map[i];
  }
  modifierKeys_.fill(false);
  if (auto r = xcb::reply(c, xcb_get_modifier_mapping(c), xcb_get_modifier_mapping_reply)) {
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(r.get());
    int n = xcb_get_modifier_mapping_keycodes_length(r.get());
    for (int i = 0; i < n; ++i)
      if (codes[i] != 0) modifierKeys_[codes[i]] = true;
  }
}

void X11PointerMonitor::loadHeldState() {
  xcb_connection_t* c = connection_->get();
  keysHeld_.fill(false);
  if (auto r = xcb::reply(c, xcb_query_keymap(c), xcb_query_keymap_reply))
    for (size_t code = 0; code < keysHeld_.size(); ++code) keysHeld_[code] = r->keys[code / 8] & (1u << (code % 8));
  leftHeld_ = middleHeld_ = rightHeld_ = false;
  if (auto r = xcb::reply(c, xcb_query_pointer(c, connection_->root()), xcb_query_pointer_reply)) {
    lastX_ = r->root_x;
    lastY_ = r->root_y;
    leftHeld_ = r->mask & XCB_BUTTON_MASK_1;
    middleHeld_ = r->mask & XCB_BUTTON_MASK_2;
    rightHeld_ = r->mask & XCB_BUTTON_MASK_3;
  }
}

double X11PointerMonitor::primaryScreenBottom() {
  xcb_connection_t* c = connection_->get();
  xcb_window_t root = connection_->root();
  double rootHeight = connection_->screen()->height_in_pixels;
  if (auto g = xcb::reply(c, xcb_get_geometry(c, root), xcb_get_geometry_reply)) rootHeight = g->height;
  if (!connection_->hasExtension(&xcb_randr_id)) return rootHeight;
  auto version = xcb::reply(c, xcb_randr_query_version(c, 1, 3), xcb_randr_query_version_reply);
  if (!version || (version->major_version == 1 && version->minor_version < 3)) return rootHeight;
  auto primary = xcb::reply(c, xcb_randr_get_output_primary(c, root), xcb_randr_get_output_primary_reply);
  if (!primary || primary->output == XCB_NONE) return rootHeight;
  auto output = xcb::reply(c, xcb_randr_get_output_info(c, primary->output, XCB_CURRENT_TIME),
                           xcb_randr_get_output_info_reply);
  if (!output || output->crtc == XCB_NONE) return rootHeight;
  auto crtc = xcb::reply(c, xcb_randr_get_crtc_info(c, output->crtc, XCB_CURRENT_TIME), xcb_randr_get_crtc_info_reply);
  if (!crtc || crtc->height == 0) return rootHeight;
  return static_cast<double>(crtc->y) + crtc->height;
}

void X11PointerMonitor::calibrateClock() {
  // A property change on a window of our own comes back stamped with the
  // server's time; the wall clock read after it is at most a round trip late.
  xcb_connection_t* c = connection_->get();
  xcb::OwnedId<xcb_destroy_window> window(c, xcb_generate_id(c));
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c, 0, window.get(), connection_->root(), 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  xcb_change_property(c, XCB_PROP_MODE_APPEND, window.get(), XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 0, nullptr);
  xcb_flush(c);
  for (xcb::Event e(xcb_wait_for_event(c)); e; e.reset(xcb_wait_for_event(c))) {
    if (xcb::eventType(e.get()) != XCB_PROPERTY_NOTIFY) continue;
    serverBase_ = reinterpret_cast<const xcb_property_notify_event_t*>(e.get())->time;
    wallBase_ = secondsSinceReferenceDate();
    return;
  }
  // The connection broke: events are timed as they are handled.
  serverBase_ = 0;
  wallBase_ = 0;
}

double X11PointerMonitor::eventTime(uint32_t serverTime) {
  if (wallBase_ == 0) return secondsSinceReferenceDate();
  // The server's clock wraps every 49.7 days; differences stay right.
  const double at = wallBase_ + static_cast<int32_t>(serverTime - serverBase_) / 1000.0;
  // Nothing is handled before it happened: a later reading narrows the estimate.
  const double now = secondsSinceReferenceDate();
  if (at <= now) return at;
  wallBase_ -= at - now;
  return now;
}

void X11PointerMonitor::readEvents() {
  if (!data_) return;
  dispatching_ = true;
  const bool ok = readRecorded();
  dispatching_ = false;
  if (!ok) {
    logLine("error in the pointer monitor: the X connection broke, pointer events stop");
    stop();
    return;
  }
  if (handlers_.empty()) stop();
}

void X11PointerMonitor::catchUp() {
  if (!data_ || dispatching_) return;
  dispatching_ = true;
  markerSeen_ = false;
  xcb_no_operation(connection_->get());
  // The server passes on what it recorded when it next writes to any client:
  // a question of our own makes it write now.
  xcb_connection_t* c = connection_->get();
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  bool ok = true;
  // Handling a backlog takes as long as it takes; only silence ends the wait early.
  while (ok && !markerSeen_) {
    ok = readRecorded();
    if (!ok || markerSeen_) break;
    pollfd ready{wake_->fd(), POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(kCatchUpPatience).count())) <= 0) {
      logLine("the pointer monitor did not catch up with the X server's input");
      break;
    }
  }
  dispatching_ = false;
  if (!ok) {
    logLine("error in the pointer monitor: the X connection broke, pointer events stop");
    stop();
  } else if (handlers_.empty()) {
    stop();
  }
}

void X11PointerMonitor::pump(xcb_connection_t* c, unsigned int sequence) {
  auto hand = [this](void* reply) {
    {
      std::lock_guard lock(inboxMutex_);
      inbox_.emplace_back(static_cast<xcb_record_enable_context_reply_t*>(reply));
    }
    wake_->signal();
  };
  for (;;) {
    void* raw = nullptr;
    xcb_generic_error_t* error = nullptr;
    while (xcb_poll_for_reply(c, sequence, &raw, &error)) {
      std::free(error);
      hand(raw);
      if (!raw) return;  // the context ended
    }
    if (xcb_connection_has_error(c)) return hand(nullptr);
    pollfd ready[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {stopReader_->fd(), POLLIN, 0}};
    if (::poll(ready, 2, -1) < 0 && errno != EINTR) return;
    if (ready[1].revents) return;
  }
}

bool X11PointerMonitor::readRecorded() {
  if (!data_) return false;
  wake_->clear();  // the inbox says what there is
  std::deque<RecordReply> batch;
  {
    std::lock_guard lock(inboxMutex_);
    batch.swap(inbox_);
  }
  const uint32_t ownBase = xcb_get_setup(connection_->get())->resource_id_base;
  for (RecordReply& reply : batch) {
    if (!reply) return false;  // the context ended or the connection broke
    handleControlEvents();
    const uint8_t* data = xcb_record_enable_context_data(reply.get());
    const int length = xcb_record_enable_context_data_length(reply.get());
    if (reply->category == kFromClient) {
      if (reply->xid_base == ownBase && length >= 1 && data[0] == kMarkerRequest) markerSeen_ = true;
      if (length >= static_cast<int>(sizeof(xcb_warp_pointer_request_t)) && data[0] == kWarpRequest &&
          !reply->client_swapped) {
        xcb_warp_pointer_request_t warp;
        std::memcpy(&warp, data, sizeof warp);
        expectWarp(warp);
      }
      continue;
    }
    if (reply->category != kFromServer) continue;
    for (int at = 0; at + 32 <= length && data_; at += 32) {
      xcb_button_press_event_t event;
      std::memcpy(&event, data + at, sizeof event);
      handleInput(event);
    }
    if (!data_) return true;  // a handler removed the last handler and the monitor stopped
  }
  return data_ != nullptr;
}

void X11PointerMonitor::expectWarp(const xcb_warp_pointer_request_t& warp) {
  warpTarget_.reset();
  xcb_connection_t* c = connection_->get();
  if (warp.dst_window == XCB_WINDOW_NONE) {
    if (warp.dst_x == 0 && warp.dst_y == 0) return;
    warpTarget_.emplace(static_cast<int16_t>(lastX_ + warp.dst_x), static_cast<int16_t>(lastY_ + warp.dst_y));
    return;
  }
  auto at = xcb::reply(c, xcb_translate_coordinates(c, warp.dst_window, connection_->root(), warp.dst_x, warp.dst_y),
                       xcb_translate_coordinates_reply);
  if (at && (at->dst_x != lastX_ || at->dst_y != lastY_)) warpTarget_.emplace(at->dst_x, at->dst_y);
}

void X11PointerMonitor::handleControlEvents() {
  if (!connection_) return;
  for (xcb::Event e(xcb_poll_for_event(connection_->get())); e; e.reset(xcb_poll_for_event(connection_->get()))) {
    const uint8_t kind = xcb::eventType(e.get());
    if (kind == XCB_MAPPING_NOTIFY) loadMappings();
    else if (kind == XCB_CONFIGURE_NOTIFY) screenBottom_ = primaryScreenBottom();
  }
}

void X11PointerMonitor::handleInput(const xcb_button_press_event_t& event) {
  switch (xcb::eventType(reinterpret_cast<const xcb_generic_event_t*>(&event))) {
    case XCB_BUTTON_PRESS:
    case XCB_BUTTON_RELEASE: {
      bool press = xcb::eventType(reinterpret_cast<const xcb_generic_event_t*>(&event)) == XCB_BUTTON_PRESS;
      uint8_t button = buttonMap_[event.detail];
      if (button == 1) {
        leftHeld_ = press;
        deliver(press ? kLeftMouseDown : kLeftMouseUp, event);
      } else if (button == 2) {
        middleHeld_ = press;
      } else if (button == 3) {
        rightHeld_ = press;
        if (press) deliver(kRightMouseDown, event);  // a right release is not monitored
      }
      return;
    }
    case XCB_MOTION_NOTIFY: {
      // Only moves of the pointer itself: a scroll wheel's motion leaves it where it was.
      if (event.root_x == lastX_ && event.root_y == lastY_) return;
      lastX_ = event.root_x;
      lastY_ = event.root_y;
      // The move a warp just asked for comes next, if the warp moved the pointer at all.
      const auto warp = std::exchange(warpTarget_, std::nullopt);
      if (warp && warp->first == event.root_x && warp->second == event.root_y) return;
      if (leftHeld_) deliver(kLeftMouseDragged, event);
      else if (rightHeld_) deliver(kRightMouseDragged, event);
      else if (!middleHeld_) deliver(kMouseMoved, event);
      return;
    }
    case XCB_KEY_PRESS:
    case XCB_KEY_RELEASE: {
      // Only real changes: synthetic input can release a key twice.
      if (!modifierKeys_[event.detail]) return;
      bool press = xcb::eventType(reinterpret_cast<const xcb_generic_event_t*>(&event)) == XCB_KEY_PRESS;
      if (keysHeld_[event.detail] == press) return;
      keysHeld_[event.detail] = press;
      deliver(kFlagsChanged, event);
      return;
    }
    default:
      return;
  }
}

uint32_t X11PointerMonitor::clientWindowAt(int16_t x, int16_t y) {
  // This runs for every pointer event: each question is sent together with
  // the next one it may need, so a level costs one round trip.
  xcb_connection_t* c = connection_->get();
  const xcb_window_t root = connection_->root();
  auto top = xcb::reply(c, xcb_translate_coordinates(c, root, root, x, y), xcb_translate_coordinates_reply);
  if (!top || top->child == XCB_WINDOW_NONE) return 0;
  const xcb_window_t topLevel = top->child;
  const xcb_atom_t wmState = connection_->atom("WM_STATE");
  auto askWmState = [&](xcb_window_t w) { return xcb_get_property(c, 0, w, wmState, XCB_GET_PROPERTY_TYPE_ANY, 0, 0); };
  auto hasWmState = [&](xcb_get_property_cookie_t cookie) {
    auto r = xcb::reply(c, cookie, xcb_get_property_reply);
    return r && r->type != XCB_ATOM_NONE;
  };

  // The window manager's frame holds the client somewhere below it: follow
  // the event's position down to the window with WM_STATE.
  xcb_window_t w = topLevel;
  for (int depth = 0; depth < 16 && w != XCB_WINDOW_NONE; ++depth) {
    auto state = askWmState(w);
    auto below = xcb_translate_coordinates(c, root, w, x, y);
    if (hasWmState(state)) {
      xcb_discard_reply(c, below.sequence);
      return w;
    }
    auto r = xcb::reply(c, below, xcb_translate_coordinates_reply);
    if (!r) break;
    w = r->child;
  }
  // Over the frame's decorations the client is beside the pointer, not
  // under it: look for it in the frame, nearest levels first.
  std::vector<xcb_window_t> level{topLevel};
  for (int depth = 0; depth < 4 && !level.empty(); ++depth) {
    std::vector<xcb_query_tree_cookie_t> trees;
    for (xcb_window_t parent : level) trees.push_back(xcb_query_tree(c, parent));
    std::vector<xcb_window_t> next;
    for (auto cookie : trees) {
      auto tree = xcb::reply(c, cookie, xcb_query_tree_reply);
      if (!tree) continue;
      const xcb_window_t* children = xcb_query_tree_children(tree.get());
      next.insert(next.end(), children, children + xcb_query_tree_children_length(tree.get()));
    }
    std::vector<xcb_get_property_cookie_t> states;
    for (xcb_window_t child : next) states.push_back(askWmState(child));
    for (size_t i = 0; i < next.size(); ++i) {
      if (!hasWmState(states[i])) continue;
      for (size_t j = i + 1; j < states.size(); ++j) xcb_discard_reply(c, states[j].sequence);
      return next[i];
    }
    level = std::move(next);
  }
  // A top-level window without a client (an override-redirect menu, say)
  // stands for itself.
  return topLevel;
}

void X11PointerMonitor::deliver(int type, const xcb_button_press_event_t& input) {
  // Recorded button and key events name no root; another screen's motion does.
  if (handlers_.empty() || (input.root != XCB_WINDOW_NONE && input.root != connection_->root())) return;
  PointerEvent event;
  event.type = type;
  event.windowNumber = clientWindowAt(input.root_x, input.root_y);
  event.location = {static_cast<double>(input.root_x), screenBottom_ - input.root_y};
  event.time = eventTime(input.time);

  // A handler may install or remove handlers: call a snapshot, skipping
  // those removed meanwhile.
  std::vector<Token> tokens;
  for (const auto& [token, handler] : handlers_) tokens.push_back(token);
  for (Token token : tokens) {
    auto it = handlers_.find(token);
    if (it == handlers_.end()) continue;
    Handler handler = it->second;
    handler(event);
  }
}

}  // namespace moxi

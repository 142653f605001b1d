#include "handoff/x11_pointer_monitor.h"

#include <xcb/randr.h>
#include <xcb/xinput.h>

#include <vector>

#include "handoff/pointer_log.h"
#include "platform/log.h"

namespace moxi {

namespace {

constexpr uint32_t kRawEventMask =
    XCB_INPUT_XI_EVENT_MASK_RAW_MOTION | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS |
    XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS |
    XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE;

struct RawEventSelection {
  xcb_input_event_mask_t head;
  uint32_t mask;
};

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
  // Without listeners the connection goes; inside the read loop that waits
  // until the loop is done with it.
  if (handlers_.empty() && !dispatching_) stop();
}

bool X11PointerMonitor::start() {
  auto connection = std::make_unique<xcb::Connection>();
  if (!connection->ok() || !connection->screen()) {
    logLine("error installing the pointer monitor: cannot connect to the X display");
    return false;
  }
  xcb_connection_t* c = connection->get();
  const xcb_query_extension_reply_t* xinput = xcb_get_extension_data(c, &xcb_input_id);
  if (!xinput || !xinput->present) {
    logLine("error installing the pointer monitor: the X server has no XInput extension");
    return false;
  }
  // Raw events on the root window need XInput 2 announced; 2.1 and later
  // deliver them even while another client grabs the pointer.
  auto version = xcb::reply(c, xcb_input_xi_query_version(c, 2, 2), xcb_input_xi_query_version_reply);
  if (!version || version->major_version < 2) {
    logLine("error installing the pointer monitor: the X server has no XInput 2");
    return false;
  }
  RawEventSelection selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, kRawEventMask};
  if (auto error = xcb::check(c, xcb_input_xi_select_events_checked(c, connection->root(), 1, &selection.head))) {
    logLine("error installing the pointer monitor: selecting raw input events failed (X error " +
            std::to_string(error->error_code) + ")");
    return false;
  }
  // Root size changes move the primary screen's bottom edge.
  uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, connection->root(), XCB_CW_EVENT_MASK, &structure);

  connection_ = std::move(connection);
  xinputOpcode_ = xinput->major_opcode;
  loadMappings();
  loadHeldState();
  screenBottom_ = primaryScreenBottom();
  xcb_flush(c);

  notifier_ = std::make_unique<QSocketNotifier>(connection_->fd(), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readEvents(); });
  return true;
}

void X11PointerMonitor::stop() {
  notifier_.reset();
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

void X11PointerMonitor::readEvents() {
  if (!connection_) return;
  dispatching_ = true;
  // Handling an event waits for replies, which may queue further events:
  // keep going until the queue is empty.
  while (connection_) {
    xcb::Event event(xcb_poll_for_event(connection_->get()));
    if (!event) break;
    handleEvent(event.get());
  }
  dispatching_ = false;
  if (connection_ && xcb_connection_has_error(connection_->get())) {
    logLine("error in the pointer monitor: the X connection broke, pointer events stop");
    stop();
    return;
  }
  if (handlers_.empty()) stop();
}

void X11PointerMonitor::handleEvent(const xcb_generic_event_t* event) {
  uint8_t kind = xcb::eventType(event);
  if (kind == XCB_MAPPING_NOTIFY) {
    loadMappings();
    return;
  }
  if (kind == XCB_CONFIGURE_NOTIFY) {
    screenBottom_ = primaryScreenBottom();
    return;
  }
  if (kind != XCB_GE_GENERIC) return;
  const auto* ge = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
  if (ge->extension != xinputOpcode_) return;
  // Button, motion and key raw events share one layout.
  const auto* raw = reinterpret_cast<const xcb_input_raw_button_press_event_t*>(event);
  switch (ge->event_type) {
    case XCB_INPUT_RAW_BUTTON_PRESS:
    case XCB_INPUT_RAW_BUTTON_RELEASE: {
      bool press = ge->event_type == XCB_INPUT_RAW_BUTTON_PRESS;
      uint8_t button = raw->detail < buttonMap_.size() ? buttonMap_[raw->detail] : 0;
      if (button == 1) {
        leftHeld_ = press;
        deliver(press ? kLeftMouseDown : kLeftMouseUp);
      } else if (button == 2) {
        middleHeld_ = press;
      } else if (button == 3) {
        rightHeld_ = press;
        if (press) deliver(kRightMouseDown);  // a right release is not monitored
      }
      return;
    }
    case XCB_INPUT_RAW_MOTION: {
      // Only moves of the pointer itself: scroll wheels report through
      // valuators beyond the first two.
      const uint32_t* mask = xcb_input_raw_button_press_valuator_mask(raw);
      if (raw->valuators_len == 0 || (mask[0] & 0x3) == 0) return;
      if (leftHeld_) deliver(kLeftMouseDragged);
      else if (rightHeld_) deliver(kRightMouseDragged);
      else if (!middleHeld_) deliver(kMouseMoved);
      return;
    }
    case XCB_INPUT_RAW_KEY_PRESS:
    case XCB_INPUT_RAW_KEY_RELEASE: {
      // Only real changes: synthetic input can release a key twice.
      if (raw->detail >= modifierKeys_.size() || !modifierKeys_[raw->detail]) return;
      bool press = ge->event_type == XCB_INPUT_RAW_KEY_PRESS;
      if (keysHeld_[raw->detail] == press) return;
      keysHeld_[raw->detail] = press;
      deliver(kFlagsChanged);
      return;
    }
    default:
      return;
  }
}

uint32_t X11PointerMonitor::clientWindowBelow(xcb_window_t topLevel) {
  // This runs for every pointer event: each question is sent together with
  // the next one it may need, so a level costs one round trip.
  xcb_connection_t* c = connection_->get();
  const xcb_atom_t wmState = connection_->atom("WM_STATE");
  auto askWmState = [&](xcb_window_t w) { return xcb_get_property(c, 0, w, wmState, XCB_GET_PROPERTY_TYPE_ANY, 0, 0); };
  auto hasWmState = [&](xcb_get_property_cookie_t cookie) {
    auto r = xcb::reply(c, cookie, xcb_get_property_reply);
    return r && r->type != XCB_ATOM_NONE;
  };

  // The window manager's frame holds the client somewhere below it: follow
  // the pointer down to the window with WM_STATE.
  xcb_window_t w = topLevel;
  for (int depth = 0; depth < 16 && w != XCB_WINDOW_NONE; ++depth) {
    auto state = askWmState(w);
    auto pointer = xcb_query_pointer(c, w);
    if (hasWmState(state)) {
      xcb_discard_reply(c, pointer.sequence);
      return w;
    }
    auto r = xcb::reply(c, pointer, xcb_query_pointer_reply);
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

void X11PointerMonitor::deliver(int type) {
  if (handlers_.empty()) return;
  xcb_connection_t* c = connection_->get();
  auto pointer = xcb::reply(c, xcb_query_pointer(c, connection_->root()), xcb_query_pointer_reply);
  if (!pointer || !pointer->same_screen) return;
  PointerEvent event;
  event.type = type;
  event.windowNumber = pointer->child == XCB_WINDOW_NONE ? 0 : clientWindowBelow(pointer->child);
  event.location = {static_cast<double>(pointer->root_x), screenBottom_ - pointer->root_y};

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

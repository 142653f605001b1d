#include "platform/x11/x11_window_server.h"

#include <signal.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>
#include <string_view>

#include "common/log.h"
#include "platform/x11/x11_text.h"
#include "platform/x11/xcb.h"
#include "platform/x11/xcb_picture.h"

namespace moxi {

namespace {

using xcb::Reply;

constexpr uint32_t kPropertyLength = 1 << 14;  // in 32-bit units: 64 KiB, plenty for a title

// Layers of the capture service: only 2 and below are recordable.
constexpr int kFloatingLayer = 3;
constexpr int kBelowLayer = -1;
constexpr int kDockLayer = 20;
constexpr int kPopUpLayer = 101;

// A missing property reads as empty.
std::string_view propertyBytes(const xcb_get_property_reply_t* r) {
  return xcb::propertyText(r).value_or(std::string_view{});
}

std::vector<uint32_t> propertyCards(const xcb_get_property_reply_t* r) {
  return xcb::propertyCardinals(r).value_or(std::vector<uint32_t>{});
}

std::string processName(int32_t pid) {
  if (pid <= 0) return {};
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// Replies of the requests sent for one window, sent all at once for every
// window before any reply is awaited: one round trip for the whole list.
struct WindowQuery {
  xcb_get_window_attributes_cookie_t attributes;
  xcb_get_geometry_cookie_t geometry;
  xcb_translate_coordinates_cookie_t origin;
  xcb_get_property_cookie_t type, state, netName, name, wmClass, pid, extents;
};

// The window as the user sees it: a client-side-decorated window's shadow
// margins are part of its X window, not of what looks like the window.
Rect visibleFrame(int x, int y, int width, int height, const xcb_get_property_reply_t* extents) {
  const xcb::FrameExtents e = xcb::frameExtents(extents, width, height);
  return {double(x + e.left), double(y + e.top), double(width - e.left - e.right), double(height - e.top - e.bottom)};
}

}  // namespace

X11WindowServer::X11WindowServer(const char* displayName)
    : conn_(std::make_unique<xcb::Connection>(displayName)) {
  xcb::Connection& c = *conn_;
  if (!c.ok() || !c.screen()) {
    logLine("screen capture unavailable: cannot open the X display");
    return;
  }
  reader_ = std::make_unique<xcb::ImageReader>(c);
  xcb_connection_t* x = c.get();

  if (c.hasExtension(&xcb_randr_id)) {
    auto v = xcb::reply(x, xcb_randr_query_version(x, 1, 5), xcb_randr_query_version_reply);
    randr_ = v && (v->major_version > 1 || v->minor_version >= 5);
  }

  const bool composite = c.hasExtension(&xcb_composite_id);
  const bool damage = c.hasExtension(&xcb_damage_id);
  const bool shm = c.hasExtension(&xcb_shm_id);
  if (!composite || !damage || !shm) {
    logLine(std::string("screen capture unavailable: the display lacks") + (composite ? "" : " Composite") +
            (damage ? "" : " DAMAGE") + (shm ? "" : " MIT-SHM"));
    return;
  }
  // NameWindowPixmap needs Composite 0.2.
  auto v = xcb::reply(x, xcb_composite_query_version(x, 0, 4), xcb_composite_query_version_reply);
  if (!v || (v->major_version == 0 && v->minor_version < 2)) {
    logLine("screen capture unavailable: Composite is older than 0.2");
    return;
  }
  // Every top-level window (window-manager frames included, present and
  // future) renders into a pixmap of its own while this connection lives;
  // the server still shows them on screen. Covered windows keep their content.
  if (xcb::check(x, xcb_composite_redirect_subwindows_checked(x, c.root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC))) {
    logLine("screen capture unavailable: cannot redirect the windows");
    return;
  }
  captureAvailable_ = true;
}

X11WindowServer::~X11WindowServer() = default;

bool X11WindowServer::connected() const { return conn_->ok() && !xcb_connection_has_error(conn_->get()); }

// Client windows in the window manager's mapping or stacking (bottom to top)
// order. Without an EWMH window manager: the top-level windows.
std::vector<uint32_t> X11WindowServer::clientWindows(bool stackingOrder) {
  xcb::Connection& c = *conn_;
  xcb_connection_t* x = c.get();
  auto request = [&](std::string_view list) {
    return xcb_get_property(x, 0, c.root(), c.atom(list), XCB_ATOM_WINDOW, 0, kPropertyLength);
  };
  // The window manager updates the two lists one after the other, so a
  // window that has just been mapped may be in only one of them for a
  // moment: the mapping order takes both, or the window would be missing.
  auto stackingCookie = request("_NET_CLIENT_LIST_STACKING");
  std::optional<xcb_get_property_cookie_t> mappingCookie;
  if (!stackingOrder) mappingCookie = request("_NET_CLIENT_LIST");
  auto stacking = xcb::propertyCardinals(xcb::reply(x, stackingCookie, xcb_get_property_reply).get());
  auto mapping = mappingCookie ? xcb::propertyCardinals(xcb::reply(x, *mappingCookie, xcb_get_property_reply).get())
                               : std::nullopt;
  if (stackingOrder && stacking) return std::move(*stacking);
  if (mapping || stacking) {
    std::vector<uint32_t> ids = mapping.value_or(std::vector<uint32_t>{});
    for (uint32_t w : stacking.value_or(std::vector<uint32_t>{}))
      if (std::find(ids.begin(), ids.end(), w) == ids.end()) ids.push_back(w);
    return ids;
  }
  auto tree = xcb::reply(x, xcb_query_tree(x, c.root()), xcb_query_tree_reply);
  if (!tree) return {};
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  return {children, children + xcb_query_tree_children_length(tree.get())};
}

std::vector<uint32_t> X11WindowServer::onScreenWindowOrder() {
  if (!connected()) return {};
  // Nothing is selected on this connection; anything queued is a stray
  // error of a vanished window.
  while (xcb::Event e{xcb_poll_for_event(conn_->get())}) {
  }
  xcb_connection_t* x = conn_->get();
  const std::vector<uint32_t> ids = clientWindows(true);
  std::vector<xcb_get_window_attributes_cookie_t> cookies;
  cookies.reserve(ids.size());
  for (uint32_t id : ids) cookies.push_back(xcb_get_window_attributes(x, id));
  std::vector<uint32_t> order;
  for (size_t i = 0; i < ids.size(); ++i) {
    auto a = xcb::reply(x, cookies[i], xcb_get_window_attributes_reply);
    if (a && a->map_state == XCB_MAP_STATE_VIEWABLE && !a->override_redirect) order.push_back(ids[i]);
  }
  std::reverse(order.begin(), order.end());
  return order;
}

std::vector<CaptureDisplay> X11WindowServer::displays() {
  xcb::Connection& c = *conn_;
  xcb_connection_t* x = c.get();
  std::vector<CaptureDisplay> result;
  if (randr_) {
    if (auto r = xcb::reply(x, xcb_randr_get_monitors(x, c.root(), 1), xcb_randr_get_monitors_reply)) {
      for (auto it = xcb_randr_get_monitors_monitors_iterator(r.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* m = it.data;
        CaptureDisplay d{m->name, {double(m->x), double(m->y), double(m->width), double(m->height)}};
        if (m->primary) result.insert(result.begin(), d);
        else result.push_back(d);
      }
    }
  }
  if (result.empty()) {
    const xcb_screen_t* s = c.screen();
    result.push_back({0, {0, 0, double(s->width_in_pixels), double(s->height_in_pixels)}});
  }
  return result;
}

std::optional<ShareableContent> X11WindowServer::shareableContent() {
  if (!captureAvailable_ || !connected()) return std::nullopt;
  xcb::Connection& c = *conn_;
  xcb_connection_t* x = c.get();

  ShareableContent content;
  content.displays = displays();

  const std::vector<uint32_t> ids = clientWindows(false);
  auto property = [&](xcb_window_t w, xcb_atom_t name) {
    return xcb_get_property(x, 0, w, name, XCB_GET_PROPERTY_TYPE_ANY, 0, kPropertyLength);
  };
  const xcb_atom_t typeName = c.atom("_NET_WM_WINDOW_TYPE"), stateName = c.atom("_NET_WM_STATE"),
                   netNameName = c.atom("_NET_WM_NAME"), pidName = c.atom("_NET_WM_PID");
  std::vector<WindowQuery> queries;
  queries.reserve(ids.size());
  for (uint32_t w : ids) {
    queries.push_back({xcb_get_window_attributes(x, w), xcb_get_geometry(x, w),
                       xcb_translate_coordinates(x, w, c.root(), 0, 0), property(w, typeName),
                       property(w, stateName), property(w, netNameName), property(w, XCB_ATOM_WM_NAME),
                       property(w, XCB_ATOM_WM_CLASS), property(w, pidName), xcb::requestFrameExtents(c, w)});
  }

  const xcb_atom_t utf8 = c.atom("UTF8_STRING");
  const xcb_atom_t compoundText = c.atom("COMPOUND_TEXT");
  const xcb_atom_t desktopType = c.atom("_NET_WM_WINDOW_TYPE_DESKTOP");
  const xcb_atom_t dockType = c.atom("_NET_WM_WINDOW_TYPE_DOCK");
  const xcb_atom_t above = c.atom("_NET_WM_STATE_ABOVE");
  const xcb_atom_t below = c.atom("_NET_WM_STATE_BELOW");
  const std::vector<xcb_atom_t> plainTypes = {
      c.atom("_NET_WM_WINDOW_TYPE_NORMAL"), c.atom("_NET_WM_WINDOW_TYPE_DIALOG"),
      c.atom("_NET_WM_WINDOW_TYPE_UTILITY"), c.atom("_NET_WM_WINDOW_TYPE_TOOLBAR"),
      c.atom("_NET_WM_WINDOW_TYPE_SPLASH")};
  const std::vector<xcb_atom_t> popUpTypes = {
      c.atom("_NET_WM_WINDOW_TYPE_MENU"),    c.atom("_NET_WM_WINDOW_TYPE_DROPDOWN_MENU"),
      c.atom("_NET_WM_WINDOW_TYPE_POPUP_MENU"), c.atom("_NET_WM_WINDOW_TYPE_TOOLTIP"),
      c.atom("_NET_WM_WINDOW_TYPE_NOTIFICATION"), c.atom("_NET_WM_WINDOW_TYPE_COMBO"),
      c.atom("_NET_WM_WINDOW_TYPE_DND")};
  auto isOneOf = [](xcb_atom_t a, const std::vector<xcb_atom_t>& set) {
    return std::find(set.begin(), set.end(), a) != set.end();
  };

  for (size_t i = 0; i < ids.size(); ++i) {
    WindowQuery& q = queries[i];
    // Every reply is collected, even of a window that is skipped early.
    auto attributes = xcb::reply(x, q.attributes, xcb_get_window_attributes_reply);
    auto geometry = xcb::reply(x, q.geometry, xcb_get_geometry_reply);
    auto origin = xcb::reply(x, q.origin, xcb_translate_coordinates_reply);
    auto type = xcb::reply(x, q.type, xcb_get_property_reply);
    auto state = xcb::reply(x, q.state, xcb_get_property_reply);
    auto netName = xcb::reply(x, q.netName, xcb_get_property_reply);
    auto name = xcb::reply(x, q.name, xcb_get_property_reply);
    auto wmClass = xcb::reply(x, q.wmClass, xcb_get_property_reply);
    auto pid = xcb::reply(x, q.pid, xcb_get_property_reply);
    auto extents = xcb::reply(x, q.extents, xcb_get_property_reply);
    if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE || attributes->override_redirect || !geometry ||
        !origin)
      continue;

    // The first type the window names that is known here decides.
    int layer = 0;
    bool desktop = false;
    for (xcb_atom_t t : propertyCards(type.get())) {
      if (t == desktopType) desktop = true;
      else if (t == dockType) layer = kDockLayer;
      else if (isOneOf(t, popUpTypes)) layer = kPopUpLayer;
      else if (!isOneOf(t, plainTypes)) continue;
      break;
    }
    if (desktop) continue;
    if (layer == 0) {
      const std::vector<uint32_t> states = propertyCards(state.get());
      if (std::find(states.begin(), states.end(), above) != states.end()) layer = kFloatingLayer;
      else if (std::find(states.begin(), states.end(), below) != states.end()) layer = kBelowLayer;
    }

    CaptureWindow w;
    w.windowID = ids[i];
    w.frame = visibleFrame(origin->dst_x, origin->dst_y, geometry->width, geometry->height, extents.get());
    w.windowLayer = layer;
    if (netName && netName->type == utf8 && netName->format == 8) {
      w.title = x11::textToUtf8(propertyBytes(netName.get()), x11::TextEncoding::Utf8);
    } else if (name && name->type != XCB_ATOM_NONE && name->format == 8) {
      const auto encoding = name->type == utf8           ? x11::TextEncoding::Utf8
                            : name->type == compoundText ? x11::TextEncoding::CompoundText
                                                         : x11::TextEncoding::Latin1;
      w.title = x11::textToUtf8(propertyBytes(name.get()), encoding);
    }

    // WM_CLASS is "instance\0class\0"; the class names the application.
    const std::string_view classBytes = propertyBytes(wmClass.get());
    const size_t nul = classBytes.find('\0');
    std::string application = nul == std::string_view::npos
                                  ? std::string()
                                  : x11::textToUtf8(classBytes.substr(nul + 1), x11::TextEncoding::Latin1);
    const std::vector<uint32_t> pids = propertyCards(pid.get());
    const int32_t processID = pids.empty() ? 0 : static_cast<int32_t>(pids.front());
    if (application.empty()) application = processName(processID);
    if (!application.empty()) w.owningApplication = OwningApplication{std::move(application), processID};

    content.windows.push_back(std::move(w));
  }
  return content;
}

std::optional<QImage> X11WindowServer::windowPicture(uint32_t windowID) { return picture(windowID, false); }

bool X11WindowServer::windowPictureTakes(uint32_t windowID) {
  auto pixel = picture(windowID, true);
  return pixel && !pixel->isNull();
}

std::optional<QImage> X11WindowServer::picture(uint32_t windowID, bool firstPixelOnly) {
  if (!captureAvailable_ || !connected()) return std::nullopt;
  xcb::Connection& c = *conn_;
  xcb_connection_t* x = c.get();

  // Requests are sent in batches and their replies awaited together: three
  // round trips per window with a reparenting window manager.
  auto attributesCookie = xcb_get_window_attributes(x, windowID);
  auto geometryCookie = xcb_get_geometry(x, windowID);
  auto treeCookie = xcb_query_tree(x, windowID);
  auto extentsCookie = xcb::requestFrameExtents(c, windowID);
  auto attributes = xcb::reply(x, attributesCookie, xcb_get_window_attributes_reply);
  auto geometry = xcb::reply(x, geometryCookie, xcb_get_geometry_reply);
  auto tree = xcb::reply(x, treeCookie, xcb_query_tree_reply);
  auto extents = xcb::reply(x, extentsCookie, xcb_get_property_reply);
  if (!attributes || !geometry || !tree || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
      attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT)
    return std::nullopt;

  // The redirected window is the top-level one: the frame the window manager
  // put around the client, or the client itself. Its pixmap includes its
  // border.
  xcb_window_t top = windowID;
  uint8_t depth = geometry->depth;
  int px = geometry->border_width, py = geometry->border_width;
  for (xcb_window_t parent = tree->parent; parent != c.root() && parent != XCB_WINDOW_NONE;) {
    auto parentTreeCookie = xcb_query_tree(x, parent);
    auto parentGeometryCookie = xcb_get_geometry(x, parent);
    auto originCookie = xcb_translate_coordinates(x, windowID, parent, 0, 0);
    auto parentTree = xcb::reply(x, parentTreeCookie, xcb_query_tree_reply);
    auto parentGeometry = xcb::reply(x, parentGeometryCookie, xcb_get_geometry_reply);
    auto origin = xcb::reply(x, originCookie, xcb_translate_coordinates_reply);
    if (!parentTree || !parentGeometry || !origin) return std::nullopt;
    top = parent;
    depth = parentGeometry->depth;
    px = origin->dst_x + parentGeometry->border_width;
    py = origin->dst_y + parentGeometry->border_width;
    parent = parentTree->parent;
  }

  // The pixmap is named afresh each time (a resize replaces it) and read in
  // the same round trip; a failed naming fails the read too.
  const xcb_pixmap_t pixmapID = xcb_generate_id(x);
  auto nameCookie = xcb_composite_name_window_pixmap_checked(x, top, pixmapID);
  const Rect visible = visibleFrame(px, py, geometry->width, geometry->height, extents.get());
  std::optional<QImage> picture =
      reader_->read(pixmapID, depth, static_cast<int16_t>(visible.x), static_cast<int16_t>(visible.y),
                    static_cast<uint16_t>(firstPixelOnly ? std::min(1.0, visible.width) : visible.width),
                    static_cast<uint16_t>(firstPixelOnly ? std::min(1.0, visible.height) : visible.height));
  if (xcb::check(x, nameCookie)) return std::nullopt;  // BadMatch: unmapped meanwhile
  xcb::Pixmap pixmap(x, pixmapID);
  return picture;
}

void X11WindowServer::releasePictureMemory() { reader_->releaseMemory(); }

std::optional<Rect> X11WindowServer::windowBounds(uint32_t windowID) {
  if (!connected()) return std::nullopt;
  xcb_connection_t* x = conn_->get();
  auto geometryCookie = xcb_get_geometry(x, windowID);
  auto originCookie = xcb_translate_coordinates(x, windowID, conn_->root(), 0, 0);
  auto extentsCookie = xcb::requestFrameExtents(*conn_, windowID);
  auto geometry = xcb::reply(x, geometryCookie, xcb_get_geometry_reply);
  auto origin = xcb::reply(x, originCookie, xcb_translate_coordinates_reply);
  auto extents = xcb::reply(x, extentsCookie, xcb_get_property_reply);
  if (!geometry || !origin) return std::nullopt;
  return visibleFrame(origin->dst_x, origin->dst_y, geometry->width, geometry->height, extents.get());
}

bool X11WindowServer::windowShown(uint32_t windowID) {
  if (!connected()) return false;
  xcb_connection_t* x = conn_->get();
  auto attributes = xcb::reply(x, xcb_get_window_attributes(x, windowID), xcb_get_window_attributes_reply);
  return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

std::optional<int32_t> X11WindowServer::ownerProcessID(uint32_t windowID) {
  if (!connected()) return std::nullopt;
  xcb_connection_t* x = conn_->get();
  auto attributes = xcb::reply(x, xcb_get_window_attributes(x, windowID), xcb_get_window_attributes_reply);
  if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) return std::nullopt;
  auto pid = xcb::cardinalProperty(*conn_, windowID, "_NET_WM_PID", XCB_ATOM_CARDINAL);
  if (!pid || pid->empty()) return std::nullopt;
  return static_cast<int32_t>(pid->front());
}

bool X11WindowServer::processIsRunning(int32_t processID) {
  return processID > 0 && (kill(processID, 0) == 0 || errno == EPERM);
}

void X11WindowServer::activateWindow(uint32_t windowID) {
  if (!connected()) return;
  xcb_connection_t* x = conn_->get();
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = windowID;
  event.type = conn_->atom("_NET_ACTIVE_WINDOW");
  event.data.data32[0] = 2;  // source: a pager, i.e. the user's own choice, so focus stealing prevention allows it
  event.data.data32[1] = XCB_CURRENT_TIME;
  event.data.data32[2] = XCB_WINDOW_NONE;
  xcb::check(x, xcb_send_event_checked(x, 0, conn_->root(),
                                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                                       reinterpret_cast<const char*>(&event)));
}

std::optional<Rect> X11WindowServer::primaryScreenFrame() {
  if (!connected()) return std::nullopt;
  return displays().front().frame;
}

}  // namespace moxi

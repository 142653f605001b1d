#!/usr/bin/python3
"""A ScreenCast portal backend for the headless test session.

xdg-desktop-portal (the real front end) forwards the standard portal calls
here; this backend makes the user's choice without a dialog and records
through mutter's own org.gnome.Mutter.ScreenCast, so the compositor and
PipeWire carry every frame. A WINDOW source is the focused window (mutter
records it when RecordWindow gets no window id), a MONITOR source the
virtual monitor.

Tests steer it through org.moxitest.PortalControl on the same bus name:
CancelNextPicker() makes the next picker answer "cancelled", StopSessions()
ends every running screencast as if the compositor had stopped it, and
MovePointer(x, y) / PressButton(button) move the pointer on the monitor
through mutter's RemoteDesktop so cursor metadata carries positions.
"""
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

BUS_NAME = "org.freedesktop.impl.portal.desktop.moxitest"
PORTAL_PATH = "/org/freedesktop/portal/desktop"
MUTTER_SC = "org.gnome.Mutter.ScreenCast"
MUTTER_RD = "org.gnome.Mutter.RemoteDesktop"

MONITOR, WINDOW = 1, 2
HIDDEN, EMBEDDED, METADATA = 1, 2, 4
# portal cursor bit -> mutter's cursor-mode property
MUTTER_CURSOR = {HIDDEN: 0, EMBEDDED: 1, METADATA: 2}
RESTORE_VENDOR, RESTORE_VERSION = "moxitest", 1
OK, CANCELLED, FAILED = 0, 1, 2

INTROSPECTION = """
<node>
  <interface name="org.freedesktop.impl.portal.ScreenCast">
    <method name="CreateSession">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
    <method name="SelectSources">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
    <method name="Start">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
    <property name="AvailableSourceTypes" type="u" access="read"/>
    <property name="AvailableCursorModes" type="u" access="read"/>
    <property name="version" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.impl.portal.GlobalShortcuts">
    <method name="CreateSession">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
    <method name="BindShortcuts">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a(sa{sv})" name="shortcuts" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
    <method name="ListShortcuts">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
    <signal name="Activated">
      <arg type="o" name="session_handle"/>
      <arg type="s" name="shortcut_id"/>
      <arg type="t" name="timestamp"/>
      <arg type="a{sv}" name="options"/>
    </signal>
    <property name="version" type="u" access="read"/>
  </interface>
  <interface name="org.moxitest.PortalControl">
    <method name="CancelNextPicker"/>
    <method name="StopSessions">
      <arg type="u" name="stopped" direction="out"/>
    </method>
    <method name="SessionCount">
      <arg type="u" name="count" direction="out"/>
    </method>
    <method name="MovePointer">
      <arg type="d" name="x" direction="in"/>
      <arg type="d" name="y" direction="in"/>
    </method>
    <method name="PressButton">
      <arg type="i" name="button" direction="in"/>
    </method>
  </interface>
</node>
"""
SESSION_XML = """
<node>
  <interface name="org.freedesktop.impl.portal.Session">
    <method name="Close"/>
    <signal name="Closed"/>
    <property name="version" type="u" access="read"/>
  </interface>
</node>
"""
REQUEST_XML = """
<node>
  <interface name="org.freedesktop.impl.portal.Request">
    <method name="Close"/>
  </interface>
</node>
"""


def log(*args):
    print("screencast-backend:", *args, file=sys.stderr, flush=True)


class Session:
    """One portal session and, once started, the mutter session behind it."""

    def __init__(self, backend, path):
        self.backend = backend
        self.path = path
        self.types = MONITOR
        self.cursor = HIDDEN
        self.persist = 0
        self.restored = None  # the source type a restore token chose
        self.mutter = None  # mutter session path
        self.streams = []  # (stream path, source type)
        self.subscriptions = []
        self.closed = False
        info = Gio.DBusNodeInfo.new_for_xml(SESSION_XML).interfaces[0]
        self.registration = backend.bus.register_object(path, info, self._call, self._get, None)

    def _call(self, conn, sender, path, iface, method, params, invocation):
        if method == "Close":
            self.close(emit=False)
            invocation.return_value(None)

    def _get(self, conn, sender, path, iface, prop):
        return GLib.Variant("u", 1)

    def close(self, emit):
        if self.closed:
            return
        self.closed = True
        for sub in self.subscriptions:
            self.backend.bus.signal_unsubscribe(sub)
        if self.mutter:
            self.backend.bus.call(MUTTER_SC, self.mutter, MUTTER_SC + ".Session", "Stop", None, None,
                                  Gio.DBusCallFlags.NONE, -1, None, None)
        if emit:
            # The front end turns this into the portal Session's Closed.
            self.backend.bus.emit_signal(None, self.path, "org.freedesktop.impl.portal.Session", "Closed", None)
        self.backend.bus.unregister_object(self.registration)
        self.backend.sessions.pop(self.path, None)
        log("session closed", self.path, "(by the compositor)" if emit else "")


class Backend:
    def __init__(self, bus):
        self.bus = bus
        self.sessions = {}
        self.cancel_next = False
        self.pointer = None  # (remote desktop session, screencast stream) for pointer moves
        info = Gio.DBusNodeInfo.new_for_xml(INTROSPECTION)
        for iface in info.interfaces:
            bus.register_object(PORTAL_PATH, iface, self._call, self._get, None)

    def _get(self, conn, sender, path, iface, prop):
        return {
            "AvailableSourceTypes": GLib.Variant("u", MONITOR | WINDOW),
            "AvailableCursorModes": GLib.Variant("u", HIDDEN | EMBEDDED | METADATA),
            "version": GLib.Variant("u", 4),
        }[prop]

    def _call(self, conn, sender, path, iface, method, params, invocation):
        if iface == "org.freedesktop.impl.portal.GlobalShortcuts":
            method = "Shortcuts" + method
        try:
            getattr(self, "_" + method)(invocation, *params.unpack())
        except Exception as e:  # an error reply, never a dead backend
            log(method, "failed:", e)
            invocation.return_dbus_error("org.freedesktop.DBus.Error.Failed", str(e))

    # org.freedesktop.impl.portal.ScreenCast

    def _CreateSession(self, invocation, handle, session_handle, app_id, options):
        self.sessions[session_handle] = Session(self, session_handle)
        log("session created", session_handle, "for", repr(app_id))
        invocation.return_value(GLib.Variant("(ua{sv})", (OK, {})))

    def _SelectSources(self, invocation, handle, session_handle, app_id, options):
        s = self.sessions[session_handle]
        s.types = options.get("types", MONITOR)
        s.cursor = options.get("cursor_mode", HIDDEN)
        s.persist = options.get("persist_mode", 0)
        restore = options.get("restore_data")
        if restore and restore[0] == RESTORE_VENDOR and restore[1] == RESTORE_VERSION:
            s.restored = restore[2].get("source_type")
        if s.cursor not in MUTTER_CURSOR:
            raise ValueError("unknown cursor mode %d" % s.cursor)
        log("select", session_handle, "types", s.types, "cursor", s.cursor, "persist", s.persist,
            "restored", s.restored)
        invocation.return_value(GLib.Variant("(ua{sv})", (OK, {})))

    def _Start(self, invocation, handle, session_handle, app_id, parent_window, options):
        s = self.sessions[session_handle]
        if s.restored is None and self.cancel_next:
            # A restored choice shows no picker, so the cancel waits for one that does.
            self.cancel_next = False
            log("picker cancelled", session_handle)
            invocation.return_value(GLib.Variant("(ua{sv})", (CANCELLED, {})))
            return
        source = s.restored if s.restored is not None else (WINDOW if s.types & WINDOW else MONITOR)
        request = self.bus.register_object(handle, Gio.DBusNodeInfo.new_for_xml(REQUEST_XML).interfaces[0],
                                           lambda *a: a[-1].return_value(None), None, None)

        def reply(response, results):
            self.bus.unregister_object(request)
            invocation.return_value(GLib.Variant("(ua{sv})", (response, results)))

        self._record(s, source, reply)

    def _record(self, s, source, reply):
        """Records `source` through mutter and replies once PipeWire has the node."""
        bus = self.bus
        s.mutter = bus.call_sync(MUTTER_SC, "/org/gnome/Mutter/ScreenCast", MUTTER_SC, "CreateSession",
                                 GLib.Variant("(a{sv})", ({},)), GLib.VariantType("(o)"),
                                 Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
        props = {"cursor-mode": GLib.Variant("u", MUTTER_CURSOR[s.cursor])}
        if source == WINDOW:
            stream = bus.call_sync(MUTTER_SC, s.mutter, MUTTER_SC + ".Session", "RecordWindow",
                                   GLib.Variant("(a{sv})", (props,)), GLib.VariantType("(o)"),
                                   Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
        else:
            stream = bus.call_sync(MUTTER_SC, s.mutter, MUTTER_SC + ".Session", "RecordMonitor",
                                   GLib.Variant("(sa{sv})", ("", props)), GLib.VariantType("(o)"),
                                   Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
        s.streams.append((stream, source))

        def on_closed(*_):
            s.close(emit=True)

        def on_added(conn, sender, path, iface, name, params):
            node = params.unpack()[0]
            p = bus.call_sync(MUTTER_SC, stream, "org.freedesktop.DBus.Properties", "Get",
                              GLib.Variant("(ss)", (MUTTER_SC + ".Stream", "Parameters")), None,
                              Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
            props = {"source_type": GLib.Variant("u", source),
                     "size": GLib.Variant("(ii)", tuple(p.get("size", (0, 0))))}
            if "position" in p:
                props["position"] = GLib.Variant("(ii)", tuple(p["position"]))
            results = {"streams": GLib.Variant("a(ua{sv})", [(node, props)])}
            if s.persist:
                results["persist_mode"] = GLib.Variant("u", s.persist)
                results["restore_data"] = GLib.Variant(
                    "(suv)", (RESTORE_VENDOR, RESTORE_VERSION,
                              GLib.Variant("a{sv}", {"source_type": GLib.Variant("u", source)})))
            log("started", s.path, "source", source, "node", node, "size", p.get("size"))
            reply(OK, results)

        s.subscriptions.append(bus.signal_subscribe(MUTTER_SC, MUTTER_SC + ".Session", "Closed", s.mutter, None,
                                                    Gio.DBusSignalFlags.NONE, on_closed))
        s.subscriptions.append(bus.signal_subscribe(MUTTER_SC, MUTTER_SC + ".Stream", "PipeWireStreamAdded",
                                                    stream, None, Gio.DBusSignalFlags.NONE, on_added))

        def on_started(conn, result):
            try:
                conn.call_finish(result)
            except GLib.Error as e:
                log("mutter did not start", s.path, e.message)
                s.close(emit=False)
                reply(FAILED, {})

        bus.call(MUTTER_SC, s.mutter, MUTTER_SC + ".Session", "Start", None, None,
                 Gio.DBusCallFlags.NONE, -1, None, on_started)

    # org.moxitest.PortalControl

    # org.freedesktop.impl.portal.GlobalShortcuts, answered as KDE Plasma does:
    # the shortcuts are accepted, but no key is assigned until the user picks one.

    def _ShortcutsCreateSession(self, invocation, handle, session_handle, app_id, options):
        self.sessions[session_handle] = Session(self, session_handle)
        invocation.return_value(GLib.Variant("(ua{sv})", (OK, {})))

    def _ShortcutsBindShortcuts(self, invocation, handle, session_handle, shortcuts, parent_window, options):
        self.shortcuts = [(sid, {"description": GLib.Variant("s", props.get("description", "")),
                                 "trigger_description": GLib.Variant("s", "")})
                          for sid, props in shortcuts]
        log("shortcuts bound without a key:", [sid for sid, _ in shortcuts])
        invocation.return_value(GLib.Variant("(ua{sv})", (OK, {"shortcuts": GLib.Variant("a(sa{sv})", self.shortcuts)})))

    def _ShortcutsListShortcuts(self, invocation, handle, session_handle):
        shortcuts = GLib.Variant("a(sa{sv})", getattr(self, "shortcuts", []))
        invocation.return_value(GLib.Variant("(ua{sv})", (OK, {"shortcuts": shortcuts})))

    def _CancelNextPicker(self, invocation):
        self.cancel_next = True
        invocation.return_value(None)

    def _StopSessions(self, invocation):
        running = [s for s in self.sessions.values() if s.mutter]
        for s in running:
            # Stopping the mutter session makes mutter emit Closed, which
            # reaches the client the way a compositor-ended cast would.
            self.bus.call_sync(MUTTER_SC, s.mutter, MUTTER_SC + ".Session", "Stop", None, None,
                               Gio.DBusCallFlags.NONE, -1, None)
        invocation.return_value(GLib.Variant("(u)", (len(running),)))

    def _SessionCount(self, invocation):
        invocation.return_value(GLib.Variant("(u)", (sum(1 for s in self.sessions.values() if s.mutter),)))

    def _pointer_session(self):
        """A remote desktop session of its own, with a monitor stream as the
        frame of reference for absolute pointer positions."""
        if self.pointer:
            return self.pointer
        bus = self.bus
        rd = bus.call_sync(MUTTER_RD, "/org/gnome/Mutter/RemoteDesktop", MUTTER_RD, "CreateSession", None,
                           GLib.VariantType("(o)"), Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
        sid = bus.call_sync(MUTTER_RD, rd, "org.freedesktop.DBus.Properties", "Get",
                            GLib.Variant("(ss)", (MUTTER_RD + ".Session", "SessionId")), None,
                            Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
        sc = bus.call_sync(MUTTER_SC, "/org/gnome/Mutter/ScreenCast", MUTTER_SC, "CreateSession",
                           GLib.Variant("(a{sv})", ({"remote-desktop-session-id": GLib.Variant("s", sid)},)),
                           GLib.VariantType("(o)"), Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
        stream = bus.call_sync(MUTTER_SC, sc, MUTTER_SC + ".Session", "RecordMonitor",
                               GLib.Variant("(sa{sv})", ("", {})), GLib.VariantType("(o)"),
                               Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
        bus.call_sync(MUTTER_RD, rd, MUTTER_RD + ".Session", "Start", None, None, Gio.DBusCallFlags.NONE, -1, None)
        self.pointer = (rd, stream)
        return self.pointer

    def _MovePointer(self, invocation, x, y):
        rd, stream = self._pointer_session()
        self.bus.call_sync(MUTTER_RD, rd, MUTTER_RD + ".Session", "NotifyPointerMotionAbsolute",
                           GLib.Variant("(sdd)", (stream, x, y)), None, Gio.DBusCallFlags.NONE, -1, None)
        invocation.return_value(None)

    def _PressButton(self, invocation, button):
        rd, _ = self._pointer_session()
        for pressed in (True, False):
            self.bus.call_sync(MUTTER_RD, rd, MUTTER_RD + ".Session", "NotifyPointerButton",
                               GLib.Variant("(ib)", (button, pressed)), None, Gio.DBusCallFlags.NONE, -1, None)
        invocation.return_value(None)


def main():
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    backend = Backend(bus)
    loop = GLib.MainLoop()

    def lost(*_):
        log("lost the bus name", BUS_NAME)
        loop.quit()

    # Owned only after the objects exist, so the front end never sees a
    # half-made backend.
    Gio.bus_own_name_on_connection(bus, BUS_NAME, Gio.BusNameOwnerFlags.DO_NOT_QUEUE, None, lost)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 2, loop.quit)
    loop.run()
    for s in list(backend.sessions.values()):
        s.close(emit=False)
    bus.flush_sync(None)
    del backend
    return 0


if __name__ == "__main__":
    sys.exit(main())

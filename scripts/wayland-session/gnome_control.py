#!/usr/bin/python3
"""Acts as the user of the GNOME session of session.py --desktop gnome.

  gnome_control.py choose TITLE      answers the "Share Screen" picker with that window
  gnome_control.py pointer X Y       moves the pointer to a position on the monitor
  gnome_control.py click             presses and releases the left button there
  gnome_control.py stop-casts        presses the top bar's stop button; prints how many casts ran
  gnome_control.py window TITLE      prints the window's frame and buffer rectangles (JSON)
  gnome_control.py scale S           sets the monitor's scale to the supported one nearest S; prints it

Needs DBUS_SESSION_BUS_ADDRESS of the session. The pointer is gnome-shell's
own virtual pointer, driven through org.gnome.Shell.Eval (the session's
extension turns on the shell's unsafe mode for it). The picker's rows cannot
be selected through AT-SPI, so the row is clicked where AT-SPI says it is,
and the Share button, once the choice made it sensitive, is pressed through
AT-SPI.
"""
import json
import sys
import time

from gi.repository import Gio, GLib

PICKER_TITLE = "Share Screen"


class Failure(Exception):
    pass


def shell_eval(code):
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    reply = bus.call_sync("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell", "Eval",
                          GLib.Variant("(s)", (code,)), GLib.VariantType("(bs)"), Gio.DBusCallFlags.NONE,
                          10000, None)
    ok, out = reply.unpack()
    if not ok:
        raise Failure("gnome-shell refused to evaluate: %s" % out)
    return json.loads(out) if out else None


# One virtual pointer for the shell's lifetime: a new one per call would be
# a new input device each time.
POINTER = """(() => {
  const Clutter = imports.gi.Clutter;
  if (!globalThis.moxiPointer) {
    const seat = global.stage.context.get_backend().get_default_seat();
    globalThis.moxiPointer = seat.create_virtual_device(Clutter.InputDeviceType.POINTER_DEVICE);
  }
  return globalThis.moxiPointer;
})()"""


def move_pointer(x, y):
    shell_eval("%s.notify_absolute_motion(imports.gi.GLib.get_monotonic_time(), %f, %f); true"
               % (POINTER, x, y))


def click():
    shell_eval("""(() => { const p = %s, now = imports.gi.GLib.get_monotonic_time();
      p.notify_button(now, imports.gi.Clutter.BUTTON_PRIMARY, imports.gi.Clutter.ButtonState.PRESSED);
      p.notify_button(now + 50000, imports.gi.Clutter.BUTTON_PRIMARY, imports.gi.Clutter.ButtonState.RELEASED);
      return true; })()""" % POINTER)


def window_rects(title):
    """The frame and buffer rectangles of the mapped window with that title, or None."""
    return shell_eval("""(() => {
      const w = global.get_window_actors().map(a => a.meta_window).find(w => w.get_title() === %s);
      if (!w) return null;
      const r = x => ({x: x.x, y: x.y, width: x.width, height: x.height});
      return {frame: r(w.get_frame_rect()), buffer: r(w.get_buffer_rect())};
    })()""" % json.dumps(title))


def find(accessible, test, depth=0):
    if accessible is None or depth > 30:
        return None
    try:
        if test(accessible):
            return accessible
        for child in accessible:
            found = find(child, test, depth + 1)
            if found is not None:
                return found
    except Exception:  # the dialog may be redrawn under us
        return None
    return None


def wait(what, get, timeout):
    deadline = time.monotonic() + timeout
    while True:
        value = get()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("timed out after %d s waiting for %s" % (timeout, what))
        time.sleep(0.1)


def choose(title):
    import pyatspi

    def picker():
        for app in pyatspi.Registry.getDesktop(0):
            dialog = find(app, lambda a: a.getRoleName() in ("dialog", "frame", "window")
                          and a.name == PICKER_TITLE)
            if dialog is not None:
                return dialog
        return None

    dialog = wait("the %s dialog on the accessibility bus" % PICKER_TITLE, picker, 30)
    row = wait("a row named %r in the picker" % title,
               lambda: find(dialog, lambda a: a.getRoleName() == "list item" and a.name == title), 15)
    share = wait("the Share button", lambda: find(dialog, lambda a: a.getRoleName() == "button"
                                                  and a.name == "Share"), 5)
    frame = wait("the picker's window in the shell", lambda: window_rects(PICKER_TITLE), 10)["frame"]
    # AT-SPI places the row relative to the dialog's frame rectangle; the
    # first click may only give the dialog the focus.
    for _ in range(20):
        e = row.queryComponent().getExtents(pyatspi.WINDOW_COORDS)
        move_pointer(frame["x"] + e.x + e.width / 2, frame["y"] + e.y + e.height / 2)
        click()
        time.sleep(0.3)
        if share.getState().contains(pyatspi.STATE_SENSITIVE):
            share.queryAction().doAction(0)
            return
    raise Failure("the Share button stayed insensitive after clicking the row %r" % title)


def stop_casts():
    """Clicks the stop button of the top bar's screen sharing indicator."""
    at = shell_eval("""(() => {
      const i = globalThis.moxitestMain.panel.statusArea.screenSharing;
      if (!i || !i.visible || !i.mapped) return null;
      const [x, y] = i.get_transformed_position(), [w, h] = i.get_transformed_size();
      return {x: x + w / 2, y: y + h / 2};
    })()""")
    if not at:
        return 0
    move_pointer(at["x"], at["y"])
    click()
    return 1


def set_scale(wanted):
    """Applies the supported scale nearest `wanted` to the one monitor, until the shell ends."""
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)

    def call(method, args, reply):
        return bus.call_sync("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                             "org.gnome.Mutter.DisplayConfig", method, args,
                             GLib.VariantType(reply) if reply else None, Gio.DBusCallFlags.NONE, 10000, None)

    serial, monitors, logical, _ = call("GetCurrentState", None, "(ua((ssss)a(siiddada{sv})a{sv})"
                                        "a(iiduba(ssss)a{sv})a{sv})").unpack()
    (connector, *_), modes, _ = monitors[0]
    mode = next(m for m in modes if m[6].get("is-current"))
    # A fractional scale must leave whole logical pixels, so 1.5 itself may not be offered.
    scale = min(mode[5], key=lambda s: abs(s - wanted))
    x, y, _, transform, primary, _, _ = logical[0]
    call("ApplyMonitorsConfig", GLib.Variant("(uua(iiduba(ssa{sv}))a{sv})", (
        serial, 1, [(x, y, scale, transform, primary, [(connector, mode[0], {})])], {})), None)
    return scale


def main(argv):
    try:
        if len(argv) == 3 and argv[1] == "choose":
            choose(argv[2])
        elif len(argv) == 4 and argv[1] == "pointer":
            move_pointer(float(argv[2]), float(argv[3]))
        elif len(argv) == 2 and argv[1] == "click":
            click()
        elif len(argv) == 2 and argv[1] == "stop-casts":
            print(stop_casts())
        elif len(argv) == 3 and argv[1] == "scale":
            print(set_scale(float(argv[2])))
        elif len(argv) == 3 and argv[1] == "window":
            print(json.dumps(window_rects(argv[2])))
        else:
            print(__doc__, file=sys.stderr)
            return 2
    except (Failure, GLib.Error) as e:
        print("gnome_control: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

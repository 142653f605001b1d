#!/usr/bin/python3
"""A GTK 4 window to record: gtk_test_window.py TITLE [WIDTH HEIGHT].

A fixed-size window (client-side decorations, so GTK draws its shadow
around it) filled with one colour and a stripe that moves every frame, so
the compositor always has something new to cast. Squares in the bottom
corners show whether a picture holds the whole window. Prints "ready" once
shown.
"""
import sys

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import GLib, Gtk  # noqa: E402

COLOUR = (0x20 / 255, 0x60 / 255, 0xC0 / 255)
LEFT_CORNER = (0, 1, 0)  # green
RIGHT_CORNER = (1, 0, 1)  # magenta
CORNER = 40


def main():
    title = sys.argv[1] if len(sys.argv) > 1 else "Moxiscope GTK test window"
    width, height = (int(sys.argv[2]), int(sys.argv[3])) if len(sys.argv) > 3 else (640, 480)
    app = Gtk.Application(application_id=None)
    frame = [0]

    def draw(area, cr, w, h):
        cr.set_source_rgb(*COLOUR)
        cr.paint()
        cr.set_source_rgb(1, 1, 1)
        cr.rectangle(frame[0] % max(w - 20, 1), 0, 20, h - CORNER)
        cr.fill()
        for x, colour in ((0, LEFT_CORNER), (w - CORNER, RIGHT_CORNER)):
            cr.set_source_rgb(*colour)
            cr.rectangle(x, h - CORNER, CORNER, CORNER)
            cr.fill()

    def tick(area, clock):
        frame[0] += 4
        area.queue_draw()
        return GLib.SOURCE_CONTINUE

    def activate(app):
        window = Gtk.ApplicationWindow(application=app, title=title)
        window.set_default_size(width, height)
        window.set_resizable(False)
        area = Gtk.DrawingArea()
        area.set_draw_func(draw)
        area.add_tick_callback(tick)
        window.set_child(area)
        # The title bar stays: it is part of what a user sees of the window.
        window.connect("map", lambda *_: print("ready %dx%d" % (width, height), flush=True))
        window.present()

    app.connect("activate", activate)
    return app.run([sys.argv[0]])


if __name__ == "__main__":
    sys.exit(main())

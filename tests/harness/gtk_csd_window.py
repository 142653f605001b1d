#!/usr/bin/python3
# A GTK 4 window with client-side decorations (a header bar): under a
# compositing manager GTK draws its shadow inside the X window and names the
# margins in _GTK_FRAME_EXTENTS. Arguments: title, width, height (the window
# as the user sees it).
import sys

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import GLib, Gtk  # noqa: E402

title, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
Gtk.init()
window = Gtk.Window(title=title)
window.set_default_size(width, height)
window.set_resizable(False)
window.set_titlebar(Gtk.HeaderBar())
loop = GLib.MainLoop()
window.connect("close-request", lambda *_: loop.quit())
window.present()
loop.run()

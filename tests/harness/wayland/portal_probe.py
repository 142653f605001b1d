#!/usr/bin/python3
"""Asks the standard ScreenCast portal for a stream, as an application does,
and reads frames from PipeWire through the descriptor the portal hands out.

  portal_probe.py [--types N] [--cursor N] [--persist N] [--restore TOKEN]
                  [--frames N] [--hold SECONDS]

Prints one JSON object: the Start response and results, the restore token,
and what the frame reader saw (negotiated caps, frames read). Run it with the
session's environment (session.sh env).
"""
import argparse
import json
import os
import subprocess
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

PORTAL = "org.freedesktop.portal.Desktop"
PATH = "/org/freedesktop/portal/desktop"
SC = "org.freedesktop.portal.ScreenCast"


class Portal:
    def __init__(self, timeout):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        self.sender = self.bus.get_unique_name()[1:].replace(".", "_")
        self.timeout = timeout
        self.counter = 0
        self.closed = False

    def token(self):
        self.counter += 1
        return "probe%d_%d" % (os.getpid(), self.counter)

    def request(self, method, args, options):
        """Calls a request-style method and waits for its Response signal."""
        token = self.token()
        options = dict(options, handle_token=GLib.Variant("s", token))
        handle = "/org/freedesktop/portal/desktop/request/%s/%s" % (self.sender, token)
        loop = GLib.MainLoop()
        answer = {}

        def on_response(conn, sender, path, iface, name, params):
            answer["response"], answer["results"] = params.unpack()
            loop.quit()

        sub = self.bus.signal_subscribe(PORTAL, "org.freedesktop.portal.Request", "Response", handle, None,
                                        Gio.DBusSignalFlags.NONE, on_response)
        signature = "(" + "".join(a[0] for a in args) + "a{sv})"
        self.bus.call_sync(PORTAL, PATH, SC, method,
                           GLib.Variant(signature, tuple(a[1] for a in args) + (options,)),
                           None, Gio.DBusCallFlags.NONE, -1, None)
        timer = GLib.timeout_add_seconds(self.timeout, loop.quit)
        loop.run()
        if answer:
            GLib.source_remove(timer)
        self.bus.signal_unsubscribe(sub)
        if not answer:
            raise RuntimeError("%s: no Response within %d s" % (method, self.timeout))
        return answer["response"], answer["results"]


def read_frames(fd, node, frames, hold):
    """Reads `frames` buffers from the node with the portal's descriptor."""
    cmd = ["gst-launch-1.0", "-v", "pipewiresrc", "fd=3", "path=%d" % node, "num-buffers=%d" % frames,
           "always-copy=true", "!", "videoconvert", "!", "fakesink", "sync=false"]
    os.dup2(fd, 3, inheritable=True)
    try:
        r = subprocess.run(cmd, pass_fds=(3,), capture_output=True, text=True, timeout=hold + 30)
    except subprocess.TimeoutExpired as e:
        return {"exit": -1, "caps": "", "log": (e.stdout or "")[-2000:] if isinstance(e.stdout, str) else ""}
    finally:
        os.close(3)
    caps = [line for line in r.stdout.splitlines() if "pipewiresrc" in line and "caps = video/x-raw" in line]
    return {"exit": r.returncode, "caps": caps[0].split("caps = ", 1)[1] if caps else "",
            "log": (r.stdout + r.stderr)[-2000:]}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--types", type=int, default=2)
    ap.add_argument("--cursor", type=int, default=4)
    ap.add_argument("--persist", type=int, default=2)
    ap.add_argument("--restore", default="")
    ap.add_argument("--frames", type=int, default=30)
    ap.add_argument("--hold", type=float, default=0, help="keep the session open this long after reading")
    ap.add_argument("--timeout", type=int, default=20)
    a = ap.parse_args()

    p = Portal(a.timeout)
    out = {}
    props = p.bus.call_sync(PORTAL, PATH, "org.freedesktop.DBus.Properties", "GetAll", GLib.Variant("(s)", (SC,)),
                            None, Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
    out["portal"] = props
    r, res = p.request("CreateSession", [], {"session_handle_token": GLib.Variant("s", p.token())})
    out["create"] = r
    if r != 0:
        print(json.dumps(out))
        return 0
    session = res["session_handle"]
    options = {"types": GLib.Variant("u", a.types), "cursor_mode": GLib.Variant("u", a.cursor),
               "persist_mode": GLib.Variant("u", a.persist), "multiple": GLib.Variant("b", False)}
    if a.restore:
        options["restore_token"] = GLib.Variant("s", a.restore)
    r, _ = p.request("SelectSources", [("o", session)], options)
    out["select"] = r
    r, res = p.request("Start", [("o", session), ("s", "")], {})
    out["start"] = r
    out["streams"] = [[node, props] for node, props in res.get("streams", [])]
    out["restore_token"] = res.get("restore_token", "")
    out["persist_mode"] = res.get("persist_mode", 0)
    if r == 0 and out["streams"]:
        fds = p.bus.call_with_unix_fd_list_sync(PORTAL, PATH, SC, "OpenPipeWireRemote",
                                                GLib.Variant("(oa{sv})", (session, {})), GLib.VariantType("(h)"),
                                                Gio.DBusCallFlags.NONE, -1, None, None)
        fd = fds[1].get(fds[0].unpack()[0])
        out["frames"] = read_frames(fd, out["streams"][0][0], a.frames, a.hold)
        os.close(fd)
        if a.hold:
            loop = GLib.MainLoop()
            closed = {}

            def on_closed(*_):
                closed["yes"] = True
                loop.quit()

            p.bus.signal_subscribe(PORTAL, "org.freedesktop.portal.Session", "Closed", session, None,
                                   Gio.DBusSignalFlags.NONE, on_closed)
            GLib.timeout_add(int(a.hold * 1000), loop.quit)
            loop.run()
            out["closed_by_compositor"] = bool(closed)
    if r == 0:
        try:
            p.bus.call_sync(PORTAL, session, "org.freedesktop.portal.Session", "Close", None, None,
                            Gio.DBusCallFlags.NONE, -1, None)
        except GLib.Error:
            pass  # already closed by the compositor
    print(json.dumps(out, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Asks the standard ScreenCast portal for a stream, as an application does,
and reads frames from PipeWire through the descriptor the portal hands out.

  portal_probe.py [--types N] [--cursor N] [--persist N] [--restore TOKEN]
                  [--frames N] [--hold SECONDS] [--reader pipewire_frame_probe]

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


def read_frames(fd, node, size, frames):
    """Reads `frames` frames from the node through the portal's descriptor and
    sums up what they show: the most common colour other than black, the
    box it covers, and how many frames differ from the one before."""
    width, height = size
    frame_bytes = width * height * 4
    rd, wr = os.pipe()
    os.dup2(fd, 3, inheritable=True)
    os.dup2(wr, 4, inheritable=True)
    os.close(wr)
    cmd = ["gst-launch-1.0", "-v", "pipewiresrc", "fd=3", "path=%d" % node, "num-buffers=%d" % frames,
           "!", "videoconvert", "!", "video/x-raw,format=BGRx,width=%d,height=%d" % (width, height),
           "!", "fdsink", "fd=4", "sync=false"]
    gst = subprocess.Popen(cmd, pass_fds=(3, 4), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    os.close(3)
    os.close(4)
    changed, previous, count, sample = 0, None, 0, None
    step = 4
    with os.fdopen(rd, "rb") as pipe:
        while True:
            data = pipe.read(frame_bytes)
            if len(data) < frame_bytes:
                break
            count += 1
            grid = data[::4 * 61]  # a sparse sample, enough to see the stripe move
            changed += previous is not None and grid != previous
            previous = grid
            if count == frames // 2 + 1:
                sample = data
    log = gst.communicate(timeout=30)[0]
    caps = [line for line in log.splitlines() if "pipewiresrc" in line and "caps = video/x-raw" in line]
    dominant, box = 0, [0, 0, 0, 0]
    if sample:
        pixels = {}
        for y in range(0, height, step):
            for x in range(0, width, step):
                i = (y * width + x) * 4
                rgb = (sample[i + 2] << 16) | (sample[i + 1] << 8) | sample[i]
                pixels.setdefault(rgb, []).append((x, y))
        pixels.pop(0, None)
        if pixels:
            dominant = max(pixels, key=lambda c: len(pixels[c]))
            xs = [p[0] for p in pixels[dominant]]
            ys = [p[1] for p in pixels[dominant]]
            box = [min(xs), min(ys), max(xs) + step, max(ys) + step]
    return {"exit": gst.returncode, "caps": caps[0].split("caps = ", 1)[1] if caps else "", "frames": count,
            "changed": changed, "dominant": "%06x" % dominant, "box": box, "log": log[-1500:]}


def read_metadata(reader, fd, node, frames, seconds):
    """Has pipewire_frame_probe read the node: it reports the buffers' metadata."""
    os.dup2(fd, 3, inheritable=True)
    try:
        r = subprocess.run([reader, "3", str(node), str(frames), str(seconds)], pass_fds=(3,),
                           stdout=subprocess.PIPE, text=True, timeout=seconds + 10)
    finally:
        os.close(3)
    try:
        return json.loads(r.stdout)
    except ValueError:
        return {"exit": r.returncode, "output": r.stdout[-2000:]}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--types", type=int, default=2)
    ap.add_argument("--cursor", type=int, default=4)
    ap.add_argument("--persist", type=int, default=2)
    ap.add_argument("--restore", default="")
    ap.add_argument("--frames", type=int, default=30)
    ap.add_argument("--hold", type=float, default=0, help="keep the session open this long after reading")
    ap.add_argument("--timeout", type=int, default=20)
    ap.add_argument("--reader", default="", help="pipewire_frame_probe: read metadata instead of pixels")
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
    closed = {}
    loop = GLib.MainLoop()

    def on_closed(*_):
        closed["yes"] = True
        loop.quit()

    p.bus.signal_subscribe(PORTAL, "org.freedesktop.portal.Session", "Closed", session, None,
                           Gio.DBusSignalFlags.NONE, on_closed)
    if r == 0 and out["streams"]:
        fds = p.bus.call_with_unix_fd_list_sync(PORTAL, PATH, SC, "OpenPipeWireRemote",
                                                GLib.Variant("(oa{sv})", (session, {})), GLib.VariantType("(h)"),
                                                Gio.DBusCallFlags.NONE, -1, None, None)
        fd = fds[1].get(fds[0].unpack()[0])
        size = out["streams"][0][1]["size"]
        if a.reader:
            out["pipewire"] = read_metadata(a.reader, fd, out["streams"][0][0], a.frames, a.timeout)
        else:
            out["frames"] = read_frames(fd, out["streams"][0][0], size, a.frames)
        os.close(fd)
        hold = a.hold
        if out.get("pipewire", {}).get("ended") == "stream ended":
            hold = max(hold, 5)  # the portal's Closed follows the stream's end
        elif a.hold:
            # Lets a test end the cast from outside: the portal must say so.
            print("holding", file=sys.stderr, flush=True)
        while GLib.MainContext.default().iteration(False):
            pass
        if hold and not closed:
            GLib.timeout_add(int(hold * 1000), loop.quit)
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

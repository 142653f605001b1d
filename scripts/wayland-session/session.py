#!/usr/bin/python3
"""Runs a private, headless Wayland session in DIR until told to stop.

  session.py run DIR [--desktop moxitest|gnome]

Starts, in order, and waits for each to answer: a D-Bus session bus of its
own, PipeWire, WirePlumber, the compositor (headless, one 1280x720 virtual
monitor, Wayland only), the ScreenCast portal backend, the permission store
and the xdg-desktop-portal front end. The desktop "moxitest" (the default) is
mutter with this harness's own backend, which picks without a dialog;
"gnome" is gnome-shell with xdg-desktop-portal-gnome and its real picker,
the AT-SPI bus beside it so that gnome_control.py can answer the picker. When all answer it writes DIR/env (the
environment a client needs, as shell exports) and DIR/services (each
service's name, pid and start time), and then
watches them: if one dies the session is torn down and the exit status is 1.
SIGTERM or SIGINT stops everything in reverse order. Every service gets
SIGKILL when this process dies, however it dies.

Who runs as whom: mutter runs as the unprivileged user "moxitest" (made here
when missing). The services that look into their callers' /proc entries (the
portal front end, PipeWire's access check) run as the caller, root in tests,
since they cannot inspect a root process from another uid. Run as an
ordinary user, everything runs as that user.
"""
import ctypes
import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TEST_USER = "moxitest"
DESKTOPS = ("moxitest", "gnome")
# Turns on the shell's unsafe mode, which org.gnome.Shell.Eval needs, and
# lends Eval the shell's Main module (its code cannot import one).
EXTENSION_UUID = "moxitest-eval@moxiscope"
EXTENSION_JS = """import * as Main from 'resource:///org/gnome/shell/ui/main.js';

export default class {
    enable() { global.context.unsafe_mode = true; globalThis.moxitestMain = Main; }
    disable() { global.context.unsafe_mode = false; delete globalThis.moxitestMain; }
}
"""
PR_SET_PDEATHSIG = 1
CLONE_NEWNS, MS_REC, MS_PRIVATE = 0x20000, 0x4000, 0x40000
libc = ctypes.CDLL("libc.so.6", use_errno=True)


class Failure(Exception):
    pass


def wait_for(what, condition, timeout, procs=()):
    deadline = time.monotonic() + timeout
    while not condition():
        for p in procs:
            if p.poll() is not None:
                raise Failure("%s exited with status %d before %s" % (p.name, p.returncode, what))
        if time.monotonic() > deadline:
            raise Failure("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(0.02)


class Session:
    def __init__(self, directory, desktop="moxitest"):
        self.desktop = desktop
        self.gnome = desktop == "gnome"
        # The portal front end picks its backends by this name.
        self.current_desktop = "GNOME" if self.gnome else "moxitest"
        self.dir = os.path.abspath(directory)
        self.procs = []
        self.timings = {}
        self.started = time.monotonic()
        self.as_root = os.geteuid() == 0
        self.user = self._test_user() if self.as_root else None
        d = self.dir
        self.bus_path = d + "/bus"
        self.wayland_run = d + "/wayland-run"  # mutter's XDG_RUNTIME_DIR
        self.pipewire_run = d + "/pipewire-run"
        self.client_run = d + "/client-run"  # XDG_RUNTIME_DIR for clients and root services
        self.home = d + "/home"
        self.mutter_home = d + "/mutter-home"
        self.bus_env = {"DBUS_SESSION_BUS_ADDRESS": "unix:path=" + self.bus_path}

    def _test_user(self):
        try:
            return pwd.getpwnam(TEST_USER)
        except KeyError:
            # Another session starting beside this one may make it first.
            r = subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent",
                                "--shell", "/usr/sbin/nologin", TEST_USER], capture_output=True, text=True)
            try:
                return pwd.getpwnam(TEST_USER)
            except KeyError:
                raise Failure("cannot create the user %s: %s" % (TEST_USER, r.stderr.strip()))

    def log_path(self, name):
        return "%s/%s.log" % (self.dir, name)

    def mark(self, name):
        self.timings[name] = round(time.monotonic() - self.started, 3)

    def spawn(self, name, argv, env, as_user=False, cwd=None, hide_logind=False):
        parent = os.getpid()
        user = self.user if as_user else None

        def prepare():
            if hide_logind:
                # gnome-shell takes /run/systemd/seats for a running logind; a
                # private mount of an empty /run/systemd hides it from it alone.
                # In a chroot "/" is no mount point and cannot be made private;
                # that is harmless only when nothing propagates anyway.
                if libc.unshare(CLONE_NEWNS) != 0:
                    os._exit(126)
                if libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) != 0:
                    with open("/proc/self/mountinfo") as f:
                        if " shared:" in f.read():
                            os._exit(126)
                if libc.mount(b"tmpfs", b"/run/systemd", b"tmpfs", 0, None) != 0:
                    os._exit(126)
            if user:
                os.setgroups([])
                os.setgid(user.pw_gid)
                os.setuid(user.pw_uid)
            # After the uid change, which would clear it.
            libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
            if os.getppid() != parent:
                os._exit(127)
            os.setpgid(0, 0)

        full = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8"}
        full.update(env)
        log = open(self.log_path(name), "ab")
        try:
            p = subprocess.Popen(argv, env=full, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                 preexec_fn=prepare, cwd=cwd or self.dir)
        except OSError as e:
            raise Failure("cannot start %s: %s (is its package installed? see scripts/install-deps.sh)"
                          % (argv[0], e))
        finally:
            log.close()
        p.name = name
        self.procs.append(p)
        return p

    def bus_has(self, name):
        r = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                            "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name],
                           env=dict(os.environ, **self.bus_env), capture_output=True, text=True)
        return r.returncode == 0 and "boolean true" in r.stdout

    def make_dirs(self):
        # The test user must reach its sockets below DIR, nothing else.
        if self.user:
            self.check_reachable()
        os.chmod(self.dir, 0o711)
        for path, owner, mode in ((self.wayland_run, self.user, 0o711), (self.mutter_home, self.user, 0o700),
                                  (self.pipewire_run, None, 0o711), (self.client_run, None, 0o700),
                                  (self.home, None, 0o700)):
            os.makedirs(path, exist_ok=True)
            if owner:
                os.chown(path, owner.pw_uid, owner.pw_gid)
            os.chmod(path, mode)

    def check_reachable(self):
        # mutter would only say that it cannot open its lock file.
        path = self.dir
        while os.path.dirname(path) != path:
            path = os.path.dirname(path)
            st = os.stat(path)
            if st.st_uid == self.user.pw_uid:
                bit = 0o100
            elif st.st_gid == self.user.pw_gid:
                bit = 0o010
            else:
                bit = 0o001
            if not st.st_mode & bit:
                raise Failure("mutter runs as %s, who may not enter %s (mode %o): put the session's folder "
                              "where every user may pass, such as /tmp" % (TEST_USER, path, st.st_mode & 0o777))

    def start(self):
        self.make_dirs()
        # D-Bus: its own bus, open to the caller and the test user only.
        users = {pwd.getpwuid(os.geteuid()).pw_name} | ({self.user.pw_name} if self.user else set())
        with open(HERE + "/bus.conf") as f:
            config = f.read().replace("@USERS@", "".join('<allow user="%s"/>' % u for u in sorted(users)))
        with open(self.dir + "/bus.conf", "w") as f:
            f.write(config)
        p = self.spawn("dbus", ["dbus-daemon", "--config-file=" + self.dir + "/bus.conf", "--nofork",
                                "--address=unix:path=" + self.bus_path], {})
        wait_for("the session bus", lambda: os.path.exists(self.bus_path) and self.bus_has("org.freedesktop.DBus"),
                 10, [p])
        self.mark("dbus")
        if self.gnome:
            # gnome-shell will not start without a system bus; one of the session's own does.
            system_bus = self.dir + "/system-bus"
            p = self.spawn("system-bus", ["dbus-daemon", "--config-file=" + self.dir + "/bus.conf", "--nofork",
                                          "--address=unix:path=" + system_bus], {})
            wait_for("the system bus", lambda: os.path.exists(system_bus), 10, [p])
            self.bus_env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + system_bus
            self.mark("system-bus")

        root_env = dict(self.bus_env, HOME=self.home, XDG_RUNTIME_DIR=self.client_run,
                        XDG_CONFIG_HOME=self.home + "/config", XDG_DATA_HOME=self.home + "/data",
                        XDG_STATE_HOME=self.home + "/state", XDG_CACHE_HOME=self.home + "/cache",
                        PIPEWIRE_RUNTIME_DIR=self.pipewire_run, XDG_CURRENT_DESKTOP=self.current_desktop,
                        GSETTINGS_BACKEND="memory")
        socket = self.pipewire_run + "/pipewire-0"
        p = self.spawn("pipewire", ["pipewire"], root_env)
        wait_for("PipeWire's socket", lambda: os.path.exists(socket), 10, [p])
        os.chmod(socket, 0o777)  # mutter connects as the test user
        self.mark("pipewire")
        p = self.spawn("wireplumber", ["wireplumber"], root_env)

        def wireplumber_ready():
            r = subprocess.run(["pw-cli", "ls", "Client"], env=dict(os.environ, **root_env),
                               capture_output=True, text=True, timeout=5)
            return "WirePlumber" in r.stdout

        wait_for("WirePlumber", wireplumber_ready, 30, [p])
        self.mark("wireplumber")

        mutter_env = dict(self.bus_env, HOME=self.mutter_home, XDG_RUNTIME_DIR=self.wayland_run,
                          XDG_CONFIG_HOME=self.mutter_home + "/config", XDG_DATA_HOME=self.mutter_home + "/data",
                          XDG_CACHE_HOME=self.mutter_home + "/cache", XDG_STATE_HOME=self.mutter_home + "/state",
                          PIPEWIRE_RUNTIME_DIR=self.pipewire_run, XDG_CURRENT_DESKTOP=self.current_desktop,
                          XDG_SESSION_TYPE="wayland", GSETTINGS_BACKEND="memory")
        wayland = self.wayland_run + "/wayland-0"
        compositor = ["--headless", "--virtual-monitor", "1280x720", "--wayland", "--no-x11",
                      "--wayland-display", "wayland-0"]
        if self.gnome:
            # With /run/systemd/seats gnome-shell asks logind for a session this one does not have.
            hide_logind = os.path.exists("/run/systemd/seats")
            if hide_logind and not self.as_root:
                raise Failure("/run/systemd/seats exists: gnome-shell would ask logind for a session; "
                              "run as root, which hides it from the shell")
            self.write_shell_settings()
            mutter_env["GSETTINGS_BACKEND"] = "keyfile"
            p = self.spawn("gnome-shell", ["gnome-shell"] + compositor, mutter_env, as_user=True,
                           cwd=self.mutter_home, hide_logind=hide_logind)
            wait_for("gnome-shell's Wayland socket and its Eval", lambda: os.path.exists(wayland)
                     and self.bus_has("org.gnome.Mutter.ScreenCast") and self.shell_evaluates(), 60, [p])
        else:
            p = self.spawn("mutter", ["mutter"] + compositor, mutter_env, as_user=True, cwd=self.mutter_home)
            wait_for("mutter's Wayland socket and screen cast service",
                     lambda: os.path.exists(wayland) and self.bus_has("org.gnome.Mutter.ScreenCast")
                     and self.bus_has("org.gnome.Mutter.RemoteDesktop"), 30, [p])
        os.chmod(wayland, 0o777)  # root clients connect too
        self.mark(p.name)

        if self.gnome:
            # GTK 4 dialogs find the AT-SPI bus through org.a11y.Bus when they start.
            p = self.spawn("at-spi", ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"], root_env)
            wait_for("the AT-SPI bus", lambda: self.bus_has("org.a11y.Bus"), 15, [p])
            self.mark("at-spi")
            p = self.spawn("xdg-desktop-portal-gnome", ["/usr/libexec/xdg-desktop-portal-gnome", "--replace"],
                           dict(root_env, WAYLAND_DISPLAY=wayland, XDG_SESSION_TYPE="wayland"))
            wait_for("GNOME's portal backend", lambda: self.bus_has("org.freedesktop.impl.portal.desktop.gnome"),
                     20, [p])
            self.mark("xdg-desktop-portal-gnome")
            # Debian installs no gnome-portals.conf; the front end reads one from the config home too.
            os.makedirs(self.home + "/config/xdg-desktop-portal", exist_ok=True)
            with open(self.home + "/config/xdg-desktop-portal/gnome-portals.conf", "w") as f:
                f.write("[preferred]\ndefault=gnome;gtk;\n")
            portal_env = dict(root_env)
        else:
            p = self.spawn("screencast-backend", ["/usr/bin/python3", HERE + "/screencast_backend.py"], root_env)
            wait_for("the ScreenCast backend", lambda: self.bus_has("org.freedesktop.impl.portal.desktop.moxitest"),
                     15, [p])
            self.mark("screencast-backend")
            portal_env = dict(root_env, XDG_DESKTOP_PORTAL_DIR=HERE + "/portals")
        p = self.spawn("permission-store", ["/usr/libexec/xdg-permission-store", "--replace"], root_env)
        wait_for("the permission store", lambda: self.bus_has("org.freedesktop.impl.portal.PermissionStore"), 15, [p])
        self.mark("permission-store")
        p = self.spawn("xdg-desktop-portal", ["/usr/libexec/xdg-desktop-portal", "--replace", "--verbose"],
                       portal_env)
        # 4 in xdg-desktop-portal 1.16, 5 in 1.20.
        wait_for("the portal front end", lambda: self.screencast_version() >= 4, 20, [p])
        self.mark("xdg-desktop-portal")

        env = {
            "DBUS_SESSION_BUS_ADDRESS": self.bus_env["DBUS_SESSION_BUS_ADDRESS"],
            # An absolute WAYLAND_DISPLAY lets clients keep a runtime dir of their own.
            "WAYLAND_DISPLAY": wayland,
            "XDG_RUNTIME_DIR": self.client_run,
            "XDG_SESSION_TYPE": "wayland",
            "XDG_CURRENT_DESKTOP": self.current_desktop,
            "PIPEWIRE_RUNTIME_DIR": self.pipewire_run,
            "PIPEWIRE_REMOTE": "pipewire-0",
            "MOXI_WAYLAND_SESSION_DIR": self.dir,
        }
        with open(self.dir + "/env.tmp", "w") as f:
            for k, v in env.items():
                f.write("export %s='%s'\n" % (k, v))
        # One line per service: name, pid, seconds from the start until it answered.
        with open(self.dir + "/services", "w") as f:
            for p in self.procs:
                f.write("%s %d %.3f\n" % (p.name, p.pid, self.timings[p.name]))
        os.rename(self.dir + "/env.tmp", self.dir + "/env")
        print("wayland session ready in %.2f s: %s" % (self.timings["xdg-desktop-portal"], json.dumps(self.timings)), flush=True)

    def screencast_version(self):
        r = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.portal.Desktop",
                            "/org/freedesktop/portal/desktop", "org.freedesktop.DBus.Properties.Get",
                            "string:org.freedesktop.portal.ScreenCast", "string:version"],
                           env=dict(os.environ, **self.bus_env), capture_output=True, text=True)
        m = re.search(r"uint32 (\d+)", r.stdout) if r.returncode == 0 else None
        return int(m.group(1)) if m else 0

    def write_shell_settings(self):
        """The shell's settings, in a key file of its own: the extension for Eval, fractional scales."""
        data, config = self.mutter_home + "/data", self.mutter_home + "/config"
        extension = "%s/gnome-shell/extensions/%s" % (data, EXTENSION_UUID)
        version = subprocess.run(["gnome-shell", "--version"], capture_output=True, text=True).stdout.split()[-1]
        files = {extension + "/metadata.json": json.dumps({"uuid": EXTENSION_UUID, "name": "moxitest eval",
                                                           "description": "unsafe mode for the tests",
                                                           "shell-version": [version.split(".")[0]]}),
                 extension + "/extension.js": EXTENSION_JS,
                 config + "/glib-2.0/settings/keyfile":
                     "[org/gnome/shell]\nenabled-extensions=['%s']\nwelcome-dialog-last-shown-version='999'\n"
                     "[org/gnome/mutter]\nexperimental-features=['scale-monitor-framebuffer']\n" % EXTENSION_UUID}
        for path, text in files.items():
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
        if self.user:
            for d in (data, config):
                for root, dirs, names in os.walk(d):
                    for n in dirs + names + ["."]:
                        os.chown(os.path.join(root, n), self.user.pw_uid, self.user.pw_gid)

    def shell_evaluates(self):
        r = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.gnome.Shell", "/org/gnome/Shell",
                            "org.gnome.Shell.Eval", "string:true"],
                           env=dict(os.environ, **self.bus_env), capture_output=True, text=True)
        return r.returncode == 0 and "boolean true" in r.stdout

    def watch(self, stop):
        while not stop["now"]:
            for p in self.procs:
                if p.poll() is not None:
                    raise Failure("%s exited with status %d (see %s)" % (p.name, p.returncode, self.log_path(p.name)))
            time.sleep(0.2)

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(3)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        for name in ("env", "env.tmp", "services"):
            if os.path.exists(self.dir + "/" + name):
                os.unlink(self.dir + "/" + name)


def main():
    desktop = sys.argv[4] if len(sys.argv) == 5 and sys.argv[3] == "--desktop" else "moxitest"
    if len(sys.argv) not in (3, 5) or sys.argv[1] != "run" or desktop not in DESKTOPS:
        print(__doc__, file=sys.stderr)
        return 2
    needed = ["gnome-shell", "/usr/libexec/xdg-desktop-portal-gnome", "/usr/libexec/at-spi-bus-launcher"] \
        if desktop == "gnome" else ["mutter"]
    for tool in ["dbus-daemon", "pipewire", "wireplumber", "pw-cli", "dbus-send"] + needed:
        if not shutil.which(tool):
            print("wayland session: %s is missing (run scripts/install-deps.sh)" % tool, file=sys.stderr)
            return 1
    os.makedirs(sys.argv[2], exist_ok=True)
    try:
        session = Session(sys.argv[2], desktop)
    except Failure as e:
        print("wayland session: %s" % e, file=sys.stderr, flush=True)
        return 1
    stop = {"now": False}

    def on_signal(*_):
        stop["now"] = True

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    status = 0
    try:
        session.start()
        session.watch(stop)
    except Failure as e:
        print("wayland session: %s" % e, file=sys.stderr, flush=True)
        status = 1
    finally:
        session.stop()
    return status


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env bash
# Builds Moxiscope (installing what it needs) and runs it.
# On a desktop (a Wayland or X11 display reachable) it simply starts the program.
# Without a display it starts a private one (Xvfb, openbox, a tray, a sound
# server and a demo window) and walks a recording there: see scripts/demo.sh.
# With --wayland it starts a private headless Wayland session instead and
# records through the desktop portal: see scripts/demo-wayland.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target moxiscope

if [ "${1:-}" = --wayland ]; then
  exec bash scripts/demo-wayland.sh
fi
if [ "${MOXI_DEMO:-0}" != 1 ] && { [ -S "${XDG_RUNTIME_DIR:-/nonexistent}/${WAYLAND_DISPLAY:-none}" ] ||
  { [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; }; }; then
  exec ./build/moxiscope
fi
exec bash scripts/demo.sh

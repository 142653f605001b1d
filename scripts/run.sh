#!/usr/bin/env bash
# Builds Moxiscope (installing what it needs) and runs it.
# On a desktop (DISPLAY reachable) it simply starts the program.
# Without a display it starts a private one (Xvfb, openbox, a tray, a sound
# server and a demo window) and walks a recording there: see scripts/demo.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target moxiscope

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1 && [ "${MOXI_DEMO:-0}" != 1 ]; then
  exec ./build/moxiscope
fi
exec bash scripts/demo.sh

#!/usr/bin/env bash
# Runs Moxiscope in a private headless Wayland session (mutter, PipeWire, the
# desktop portal) and records a demo window through the ScreenCast portal,
# as a user on GNOME or KDE would with "moxiscope --toggle".
# Prints the paths of what it produced; everything it starts is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
session=scripts/wayland-session/session.sh
out="$root/out/demo-wayland-$(date +%Y%m%d-%H%M%S)"
mkdir -p "$out"
# The session's sockets and logs live in /tmp, not in the checkout: the
# compositor runs as another user (moxitest, when run as root), who cannot
# enter a checkout in a folder of the owner's only, such as root's home.
# Its logs are moved to $out/session at the end.
session_dir=$(mktemp -d /tmp/moxi-wayland-XXXXXX)
moxiscope_pid=
demo_pid=
cleanup() {
  if [ -n "$moxiscope_pid" ]; then
    kill "$moxiscope_pid" 2>/dev/null || true
    wait "$moxiscope_pid" 2>/dev/null || true
  fi
  [ -z "$demo_pid" ] || kill "$demo_pid" 2>/dev/null || true
  bash "$session" stop "$session_dir" || true
  mkdir -p "$out/session"
  cp "$session_dir"/*.log "$out/session/" 2>/dev/null || true
  rm -rf "$session_dir"
}
trap cleanup EXIT

# Without a session the program would start on X11 and fail far from the
# cause: stop here with the session's own error.
session_env=$(bash "$session" start "$session_dir") ||
  { echo "demo: the Wayland session did not start (its logs: $out/session)" >&2; exit 1; }
eval "$session_env"
unset DISPLAY

# The program's own home: settings, caches, documents; no "Video is ready!"
# question (nobody is there to answer it), so the movie is opened at once.
export HOME="$out/home" XDG_CONFIG_HOME="$out/home/config" XDG_CACHE_HOME="$out/home/cache"
mkdir -p "$XDG_CONFIG_HOME/Moxiscope" "$HOME/bin"
printf '[General]\nshowDialog=false\ncaptureMicrophone=false\n' >"$XDG_CONFIG_HOME/Moxiscope/Moxiscope.conf"
cat >"$HOME/bin/xdg-open" <<OPENER
#!/bin/sh
echo "\$1" >>"$out/opened.txt"
OPENER
chmod +x "$HOME/bin/xdg-open"
export PATH="$HOME/bin:$PATH"

# The window to record, a native Wayland client; the session's picker takes
# the focused window, as a user would click it in GNOME's or KDE's dialog.
SDL_VIDEODRIVER=wayland ffplay -loglevel error -window_title "Demo window" -f lavfi \
  -i "testsrc=size=800x600:rate=30" -x 800 -y 600 >"$out/ffplay.log" 2>&1 &
demo_pid=$!
sleep 2

# As from a key bound to "moxiscope --toggle": the first press starts the
# program and records at once (no welcome dialog that would take the focus
# from the window), the second stops.
./build/moxiscope --toggle >"$out/moxiscope.log" 2>&1 &
moxiscope_pid=$!
for _ in $(seq 300); do grep -q "^START RECORDING" "$out/moxiscope.log" && break; sleep 0.1; done
grep -q "^START RECORDING" "$out/moxiscope.log" || { echo "demo: the recording did not start (see $out/moxiscope.log)" >&2; exit 1; }
# The pointer moves over the window; its positions come from the cast.
for spot in "300 250" "500 400" "700 500"; do
  # shellcheck disable=SC2086
  bash "$session" control "$session_dir" pointer $spot
  sleep 0.7
done
sleep 1
./build/moxiscope --toggle
for _ in $(seq 150); do [ -s "$out/opened.txt" ] && break; sleep 0.1; done

movie=$(sed -n 's/^exported as //p' "$out/moxiscope.log" | tail -n1)
path=${movie#file://}
if [ -n "$movie" ] && [ -f "$path" ]; then
  ffmpeg -v error -ss 1 -i "$path" -frames:v 1 "$out/frame.png"
  echo "Recorded through the portal: $(grep -m1 '^screen cast: ' "$out/moxiscope.log")"
  echo "A frame of the movie: $out/frame.png"
  echo "Exported movie: $path"
  echo "Its size: $(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=s=x:p=0 "$path")"
  echo "Description: $(ffprobe -v error -show_entries format_tags=description -of default=nw=1:nk=1 "$path")"
  echo "Opened with the default application: $(cat "$out/opened.txt" 2>/dev/null || echo '(nothing)')"
else
  echo "demo: no movie was exported (see $out/moxiscope.log)" >&2
  exit 1
fi
echo "Program output: $out/moxiscope.log"

#!/usr/bin/env bash
# What recording costs on Wayland: the whole program (portal, PipeWire
# stream, conversion, H.264, writer) recording a native 1280x720 window that
# draws 60 frames a second, and the same with a still window, in a private
# headless Wayland session. Prints CPU-seconds per second of recording for
# the program and for the compositor. Needs a build (build/moxiscope and
# build/tests/wayland_test_window): bash bench/wayland_recording_bench.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
work=$(mktemp -d /tmp/moxi-wayland-bench-XXXXXX)
chmod 755 "$work"  # the compositor runs as the session's own user
session=scripts/wayland-session/session.sh
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  bash "$session" stop "$work/session" || true
  rm -rf "$work"
}
trap cleanup EXIT
eval "$(bash "$session" start "$work/session")"
unset DISPLAY
mutter_pid=$(awk '$1 == "mutter" {print $2}' "$work/session/services")

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

measure() {  # label, window options...
  local label=$1; shift
  local home="$work/home-${label// /-}"  # no spaces: Qt splits the opener's command line
  mkdir -p "$home/config/Moxiscope" "$home/bin"
  printf '[General]\nshowDialog=false\ncaptureMicrophone=false\n' >"$home/config/Moxiscope/Moxiscope.conf"
  # A stand-in opener that only logs: the machine's video player would play
  # each movie inside the session being measured.
  printf '#!/bin/sh\nprintf "%%s\\n" "$1" >>"%s/opened"\n' "$home" >"$home/bin/xdg-open"
  chmod 755 "$home/bin/xdg-open"
  local run=(env HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" PATH="$home/bin:$PATH"
    QT_QPA_PLATFORM=wayland ./build/moxiscope --toggle)
  ./build/tests/wayland_test_window --size 1280x720 "$@" >"$work/window-$label.log" 2>&1 &
  local window=$!
  pids+=("$window")
  sleep 1.5
  "${run[@]}" >"$work/moxiscope-$label.log" 2>&1 &
  local program=$!
  pids+=("$program")
  for _ in $(seq 600); do grep -q "^START RECORDING" "$work/moxiscope-$label.log" && break; sleep 0.05; done
  grep -q "^START RECORDING" "$work/moxiscope-$label.log" || { echo "bench: no recording ($label)" >&2; cat "$work/moxiscope-$label.log" >&2; exit 1; }
  sleep 1  # past the start-up work
  local p0 m0 p1 m1
  p0=$(ticks "$program"); m0=$(ticks "$mutter_pid")
  sleep "$seconds"
  p1=$(ticks "$program"); m1=$(ticks "$mutter_pid")
  "${run[@]}" >/dev/null
  for _ in $(seq 200); do [ -s "$home/opened" ] && break; sleep 0.05; done
  [ -s "$home/opened" ] || { echo "bench: the movie was not opened ($label)" >&2; tail -5 "$work/moxiscope-$label.log" >&2; ls -la "$home/bin" >&2; }
  local movie frames
  movie=$(sed -n 's|^exported as file://||p' "$work/moxiscope-$label.log" | tail -n1)
  frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$movie" 2>/dev/null || echo "?")
  awk -v l="$label" -v p=$((p1 - p0)) -v m=$((m1 - m0)) -v hz="$hz" -v s="$seconds" -v f="$frames" \
    'BEGIN { printf "%-22s program %.3f CPU-s/s   compositor %.3f CPU-s/s   %s frames in the movie\n", l, p / hz / s, m / hz / s, f }'
  kill "$program" "$window" 2>/dev/null || true
  wait "$program" "$window" 2>/dev/null || true
}

echo "Wayland, ${seconds} s of recording through the ScreenCast portal and PipeWire ($(nproc) cores):"
measure "1280x720 at 60 fps" --fps 60
measure "1280x720 still" --still

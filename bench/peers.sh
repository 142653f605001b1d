#!/usr/bin/env bash
# Moxiscope beside ffmpeg x11grab, GStreamer ximagesrc and SimpleScreenRecorder
# (build/bench/peers_bench, see its head). Installs the other recorders from
# Debian's packages first. Not part of the test command.
#   bash bench/peers.sh [seconds [rounds [720 1080 2160]]]
#   bash bench/peers.sh finish [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
command -v ffmpeg >/dev/null || need+=(ffmpeg)
command -v gst-launch-1.0 >/dev/null || need+=(gstreamer1.0-tools)
gst-inspect-1.0 x264enc >/dev/null 2>&1 || need+=(gstreamer1.0-plugins-ugly)
gst-inspect-1.0 ximagesrc >/dev/null 2>&1 || need+=(gstreamer1.0-plugins-good)
command -v simplescreenrecorder >/dev/null || need+=(simplescreenrecorder)
if ((${#need[@]})); then
  sudo=; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${need[@]}"
fi
[ -x build/bench/peers_bench ] || { echo "peers: build first (build/bench/peers_bench)" >&2; exit 1; }
unset WAYLAND_DISPLAY PULSE_SERVER
exec nice -n 5 build/bench/peers_bench "$@"

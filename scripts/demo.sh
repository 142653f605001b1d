#!/usr/bin/env bash
# Runs Moxiscope in a private virtual display and shows what a user sees.
# Prints the paths of what it produced; everything it starts is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out="$root/out/demo-$(date +%Y%m%d-%H%M%S)"
mkdir -p "$out"
pids=()
moxiscope_pid=
cleanup() {
  # The program first, so that it finishes on a live display; then the rest.
  if [ -n "$moxiscope_pid" ]; then
    kill "$moxiscope_pid" 2>/dev/null || true
    wait "$moxiscope_pid" 2>/dev/null || true
  fi
  for ((i=${#pids[@]}-1; i>=0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# A private display on a free number, told by Xvfb itself.
exec {fd}<> <(:)
Xvfb -displayfd "$fd" -screen 0 1920x1080x24 -nolisten tcp -noreset >"$out/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 20 number <&"$fd" || { echo "demo: Xvfb did not start (see $out/xvfb.log)" >&2; exit 1; }
export DISPLAY=":$number"
openbox --sm-disable >"$out/openbox.log" 2>&1 &
pids+=($!)
trayer --edge top --align right --widthtype pixel --width 160 --height 24 --SetDockType true \
  --SetPartialStrut true --transparent false --tint 0x202020 >"$out/trayer.log" 2>&1 &
pids+=($!)

# A private sound server whose default source is a 440 Hz tone.
export XDG_RUNTIME_DIR="$out/runtime" HOME="$out/home"
mkdir -p -m 700 "$XDG_RUNTIME_DIR" "$HOME"
pulseaudio --daemonize=no --exit-idle-time=-1 -n --disallow-exit \
  --load="module-null-sink sink_name=nullsink" --load="module-native-protocol-unix" \
  --load="module-sine-source source_name=sine frequency=440" >"$out/pulseaudio.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl set-default-source sine || echo "demo: no sound server; recording without microphone"

wait_for_window() {  # name pattern -> window id
  for _ in $(seq 100); do
    id=$(xdotool search --name "$1" 2>/dev/null | head -n1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}

# The window to record: an animated test picture.
ffplay -loglevel error -window_title "Demo window" -f lavfi -i "testsrc=size=800x600:rate=30" \
  -x 800 -y 600 -left 300 -top 200 >"$out/ffplay.log" 2>&1 &
pids+=($!)
wait_for_window "^Demo window$" >/dev/null

# The desktop's "open with the default application" goes to a stand-in that
# notes what it was asked to open.
mkdir -p "$out/bin"
cat >"$out/bin/xdg-open" <<OPENER
#!/bin/sh
echo "\$1" >>"$out/opened.txt"
OPENER
chmod +x "$out/bin/xdg-open"
export PATH="$out/bin:$PATH"

./build/moxiscope >"$out/moxiscope.log" 2>&1 &
moxiscope_pid=$!
alert=$(wait_for_window "^Moxiscope$")
sleep 0.5
xdotool windowactivate --sync "$alert" key Return 2>/dev/null || xdotool key Return

# Click the tray icon: the popover opens under it with the window list.
sleep 1
icon=$(xdotool search --class moxiscope | while read -r w; do
  geo=$(xwininfo -id "$w" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4} /Width/{wd=$2} /Height/{h=$2} END{print x, y, wd, h}')
  set -- $geo
  [ "${3:-0}" -le 32 ] && [ "${3:-0}" -ge 8 ] && echo "$(( $1 + $3 / 2 )) $(( $2 + $4 / 2 ))"
done | head -n1)
[ -n "$icon" ] || { echo "demo: the tray icon did not appear" >&2; exit 1; }
# shellcheck disable=SC2086
xdotool mousemove $icon click 1
sleep 2
import -window root "$out/popover.png"
xdotool key Escape
sleep 0.5

# Ctrl+F1 over the demo window records it; clicks land at known places.
xdotool mousemove 500 400
sleep 0.3
xdotool key ctrl+F1
sleep 2
for spot in "400 300" "700 450" "900 650"; do
  # shellcheck disable=SC2086
  xdotool mousemove $spot click 1
  sleep 0.7
done
import -window root "$out/recording.png"
sleep 1
xdotool key ctrl+F1

# "Video is ready!": Return picks "Copy".
dialog=$(wait_for_window "^Moxiscope$" || true)
sleep 0.5
[ -n "$dialog" ] && xdotool windowactivate --sync "$dialog" key Return 2>/dev/null || xdotool key Return
for _ in $(seq 100); do [ -s "$out/opened.txt" ] && break; sleep 0.1; done

movie=$(sed -n 's/^exported as //p' "$out/moxiscope.log" | tail -n1)
path=${movie#file://}
echo "Screenshot of the open popover: $out/popover.png"
echo "Screenshot while recording: $out/recording.png"
if [ -n "$movie" ] && [ -f "$path" ]; then
  echo "Exported movie: $path"
  echo "Description: $(ffprobe -v error -show_entries format_tags=description -of default=nw=1:nk=1 "$path")"
  echo "Clipboard: $(xclip -selection clipboard -o -t text/uri-list 2>/dev/null || echo '(empty)')"
  echo "Opened with the default application: $(cat "$out/opened.txt" 2>/dev/null || echo '(nothing)')"
else
  echo "demo: no movie was exported (see $out/moxiscope.log)" >&2
  exit 1
fi
echo "Program output: $out/moxiscope.log"

#!/usr/bin/env bash
# Starts and stops a private headless Wayland session for scripts.
#
#   eval "$(scripts/wayland-session/session.sh start DIR [--desktop gnome])"   # prints the env to source
#   scripts/wayland-session/session.sh stop DIR
#   scripts/wayland-session/session.sh control DIR cancel-next|stop-casts|pointer X Y|click [BUTTON]
#
# DIR holds the sockets and every service's log. The session outlives this
# script until `stop` (or until its supervisor, session.py, is killed: the
# services die with it).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { sed -n '2,10p' "$0" >&2; exit 2; }

backend=(--dest=org.freedesktop.impl.portal.desktop.moxitest /org/freedesktop/portal/desktop)

case "$cmd" in
  start)
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    [ ! -e "$dir/session.pid" ] || ! kill -0 "$(cat "$dir/session.pid")" 2>/dev/null ||
      { echo "session.sh: a session already runs in $dir" >&2; exit 1; }
    setsid /usr/bin/python3 "$here/session.py" run "$dir" "${@:3}" >"$dir/session.log" 2>&1 </dev/null &
    pid=$!
    echo "$pid" >"$dir/session.pid"
    for _ in $(seq 900); do
      [ -e "$dir/env" ] && { cat "$dir/env"; exit 0; }
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    echo "session.sh: the Wayland session did not start:" >&2
    cat "$dir/session.log" >&2
    kill "$pid" 2>/dev/null || true
    exit 1
    ;;
  stop)
    [ -e "$dir/session.pid" ] || exit 0
    pid=$(cat "$dir/session.pid")
    if kill "$pid" 2>/dev/null; then
      for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$dir/session.pid"
    ;;
  env)
    cat "$dir/env"
    ;;
  control)
    # shellcheck disable=SC1091
    source "$dir/env"
    what=${3:-}
    case "$what" in
      cancel-next) m=(org.moxitest.PortalControl.CancelNextPicker) ;;
      stop-casts) m=(org.moxitest.PortalControl.StopSessions) ;;
      pointer) m=(org.moxitest.PortalControl.MovePointer "double:${4:?x}" "double:${5:?y}") ;;
      click) m=(org.moxitest.PortalControl.PressButton "int32:${4:-272}") ;;
      *) echo "session.sh: unknown control $what" >&2; exit 2 ;;
    esac
    dbus-send --session --print-reply "${backend[@]}" "${m[@]}" >/dev/null
    ;;
  *)
    sed -n '2,10p' "$0" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# Runs the test command again inside another Debian release, in a system that
# this script makes with debootstrap (minbase) from Debian's registry:
#
#   bash scripts/debian-system.sh trixie [prepare]   # Debian 13 (bookworm: Debian 12)
#   bash scripts/debian-system.sh trixie run COMMAND...
#
# With "prepare" it only makes the system and installs the packages there
# (the test command does that while the machine's own run goes on); with
# "run" it runs COMMAND in the checkout's copy there instead of the test
# command (e.g. run bash scripts/run.sh --wayland).
#
# The system is kept in /var/cache/moxiscope/<release>-system (MOXI_SYSTEM_CACHE
# moves it) and reused by the next run on this machine, with the packages that
# install-deps.sh put there and the build folders of the checkout's copy, so a
# rerun only rebuilds what changed. One run at a time uses it (a lock); a
# debootstrap that was cut off is made again, never reused.
#
# The checkout's files (tracked, and untracked but not ignored) are copied to
# /moxiscope in the system; the copy's build folders stay. proc, sys, dev,
# dev/pts and a private dev/shm are mounted into it for the run and unmounted
# on every way out. Its own `bash scripts/test.sh` decides the exit status.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

fail() { echo "debian-system: $*" >&2; exit 1; }

release=${1:-}
mode=${2:-test}
usage="usage: bash scripts/debian-system.sh bookworm|trixie [prepare | run COMMAND...]"
case "$release" in
  bookworm) system_name=debian12 ;;
  trixie) system_name=debian13 ;;
  *) fail "$usage" ;;
esac
case "$mode" in
  test) inside="bash scripts/test.sh" ;;
  prepare) inside="bash scripts/install-deps.sh" ;;
  run) [ $# -gt 2 ] || fail "$usage"; inside=$(printf '%q ' "${@:3}") ;;
  *) fail "$usage" ;;
esac
if [ "$(id -u)" -ne 0 ]; then
  # mount and chroot need root.
  command -v sudo >/dev/null || fail "not root and no sudo: cannot make or enter the $release system"
  exec sudo --preserve-env=MOXI_SYSTEM_CACHE,CI bash "$0" "$@"
fi

mirror=http://deb.debian.org/debian
cache=${MOXI_SYSTEM_CACHE:-/var/cache/moxiscope}
copy=/moxiscope  # the checkout's copy, inside the system

if ! command -v debootstrap >/dev/null; then
  echo "debian-system: installing debootstrap"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
fi

mkdir -p "$cache"
cache=$(cd "$cache" && pwd -P)
system=$cache/$release-system
partial=$system.partial
exec {lock}>"$system.lock"
if ! flock -n "$lock"; then
  echo "debian-system: another run uses the $release system; waiting for it"
  flock "$lock"
fi

# Everything mounted below a path, innermost first.
mounts_under() {
  awk -v p="$1/" 'index($5, p) == 1 { print $5 }' /proc/self/mountinfo | sort -r
}
unmount_all() {  # path: unmounts everything below it; fails when something stays
  local m
  for m in $(mounts_under "$1"); do umount "$m" 2>/dev/null || umount -l "$m" || true; done
  [ -z "$(mounts_under "$1")" ]
}
# Processes left running inside the system (a test's server that outlived it)
# would keep its mounts busy.
stop_processes_in() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$1" ] && kill -9 "${p#/proc/}" 2>/dev/null || true
  done
}
# The long steps run in the background and are waited for, so that a signal
# is acted on at once rather than when they end.
child=
run_child() {  # command...: its exit status
  # Without the lock: what a killed run leaves behind must not hold it.
  "$@" {lock}>&- &
  child=$!
  local status=0
  wait "$child" || status=$?
  child=
  return "$status"
}
cleanup() {
  if [ -n "$child" ]; then
    kill "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  stop_processes_in "$partial"
  stop_processes_in "$system"
  unmount_all "$system" || echo "debian-system: could not unmount everything below $system" >&2
  if [ -e "$partial" ]; then
    unmount_all "$partial" && rm -rf --one-file-system "$partial"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# A run killed outright (SIGKILL) had no way out to unmount: its leftovers go
# before this run mounts anything.
stop_processes_in "$system"
unmount_all "$system" || fail "cannot unmount what a killed run left below $system"

started=$SECONDS
if [ ! -x "$system/usr/bin/apt-get" ]; then
  # Made aside and renamed when complete: a cut-off debootstrap is never used.
  if [ -e "$partial" ]; then
    unmount_all "$partial" || fail "cannot unmount what is left below $partial"
    rm -rf --one-file-system "$partial"
  fi
  echo "== $system_name: debootstrap --variant=minbase $release (into $system)"
  run_child debootstrap --variant=minbase "$release" "$partial" "$mirror" >"$cache/$release-debootstrap.log" 2>&1 ||
    { tail -20 "$cache/$release-debootstrap.log" >&2; fail "debootstrap failed (see $cache/$release-debootstrap.log)"; }
  unmount_all "$system" || fail "cannot unmount what is left below $system"
  rm -rf --one-file-system "$system"
  mv "$partial" "$system"
  echo "debian-system: made the $release system in $((SECONDS - started)) s"
fi

# The network's names, as the machine resolves them now.
cp -L /etc/resolv.conf "$system/etc/resolv.conf"
cp /etc/hosts "$system/etc/hosts"
# dpkg syncs every file it unpacks; a throw-away system needs none of that,
# and installing the packages takes half the time without it.
echo force-unsafe-io >"$system/etc/dpkg/dpkg.cfg.d/moxiscope-unsafe-io"

mount -t proc proc "$system/proc"
mount -t sysfs sysfs "$system/sys"
# The machine's devices, loop devices included (the storage test makes its
# disks there); pseudo-terminals and shared memory of its own.
mount --bind /dev "$system/dev"
mount --make-private "$system/dev"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$system/dev/pts"
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$system/dev/shm"

# The copy follows the checkout by content: a file whose bytes changed gets a
# new time (so the build redoes what depends on it), an unchanged one keeps
# its own, files gone from the checkout go; the build folders stay.
dest=$system$copy
mkdir -p "$dest"
declare -A wanted=()
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  mapfile -d '' -t files < <(git -C "$root" ls-files -z --cached --others --exclude-standard)
else
  mapfile -d '' -t files < <(cd "$root" && find . -path ./out -prune -o -path './build*' -prune -o -type f -printf '%P\0')
fi
copied=0
for f in "${files[@]}"; do
  [ -f "$root/$f" ] || continue  # deleted in the work tree, not yet in git
  wanted[$f]=1
  if ! cmp -s "$root/$f" "$dest/$f"; then
    mkdir -p "$(dirname "$dest/$f")"
    rm -f "$dest/$f"
    cp --preserve=mode "$root/$f" "$dest/$f"
    copied=$((copied + 1))
  elif [ "$(stat -c %a "$root/$f")" != "$(stat -c %a "$dest/$f")" ]; then
    chmod --reference="$root/$f" "$dest/$f"
  fi
done
removed=0
while IFS= read -r -d '' f; do
  [ -n "${wanted[$f]:-}" ] && continue
  rm -f "$dest/$f"
  removed=$((removed + 1))
done < <(cd "$dest" && find . -path './build*' -prune -o -path ./out -prune -o -type f -printf '%P\0')
find "$dest" -mindepth 1 -depth -type d -empty ! -path "$dest/build*" ! -path "$dest/out*" -delete
echo "debian-system: $copy in the $release system: $copied files copied, $removed removed"

echo "== $system_name: $inside in the $release system"
set +e
run_child env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
  TERM="${TERM:-dumb}" CI="${CI:-}" MOXI_SYSTEMS="$system_name" \
  chroot "$system" /bin/bash -c "cd $copy && $inside" </dev/null
status=$?
set -e
echo "debian-system: $inside in the $release system ended with status $status after $((SECONDS - started)) s"
exit "$status"

#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get as a user would, checks
# the installed program, menu entry, icons and metainfo, and removes it again.
# Needs root or sudo (it installs into /usr).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# The test command hands over its optimised build (MOXI_PACKAGE_BUILD=build):
# the same compiler and flags as a build of its own, without building it all
# a third time.
build=${MOXI_PACKAGE_BUILD:-build-package}

fail() { echo "package-test: $*" >&2; exit 1; }

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || fail "not root and no sudo: cannot install the package"
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive

if dpkg-query -W -f='${Status}' moxiscope 2>/dev/null | grep -q 'install ok installed'; then
  fail "a moxiscope package is installed already; remove it first (apt-get remove moxiscope)"
fi

if [ -z "${MOXI_PACKAGE_BUILD:-}" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOXI_TESTS=OFF -DMOXI_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi
grep -q '^CMAKE_BUILD_TYPE:STRING=RelWithDebInfo$' "$build/CMakeCache.txt" ||
  fail "$build is not a RelWithDebInfo build"
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/moxiscope_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/moxiscope_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single moxiscope_*.deb in $build"
deb="$root/${debs[0]}"
version=$(sed -n 's/^project(Moxiscope VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# The libraries' packages come from dpkg-shlibdeps, the run-time modules from the list.
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6widgets6 libqt6dbus6 libavcodec libxcb-composite0 libpulse0 qml6-module-qtquick-controls; do
  [[ "$depends" == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done

removed=0
cleanup() { [ "$removed" -eq 1 ] || "${sudo_cmd[@]}" apt-get remove -y -qq moxiscope >/dev/null 2>&1 || true; }
trap cleanup EXIT
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$deb" >/dev/null

[ "$(command -v moxiscope)" = /usr/bin/moxiscope ] || fail "moxiscope is not /usr/bin/moxiscope on PATH"
out=$(env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/moxiscope --version)
[ "$out" = "moxiscope $version" ] || fail "moxiscope --version said '$out', not 'moxiscope $version'"

share=/usr/share
files=(
  "$share/applications/moxiscope.desktop"
  "$share/metainfo/org.moxiscope.Moxiscope.metainfo.xml"
  "$share/icons/hicolor/scalable/apps/moxiscope.svg"
  "$share/icons/hicolor/symbolic/apps/moxiscope-symbolic.svg"
)
for size in 16 22 24 32 48 64 128 256; do files+=("$share/icons/hicolor/${size}x${size}/apps/moxiscope.png"); done
# The popover's content module, where the installed program looks for it.
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
module=$(realpath -m "/usr/bin/../$libdir/moxiscope/moxiscope-popover.so")
files+=("$module")
for f in "${files[@]}"; do
  [ -f "$f" ] || fail "the package did not install $f"
  dpkg -S "$f" >/dev/null 2>&1 || fail "$f belongs to no package"
done
! ldd "$module" | grep -q "not found" || fail "the popover's module lacks libraries: $(ldd "$module" | grep "not found")"
nm -D --defined-only "$module" | grep -qw moxiscopeMakePopoverContent || fail "the popover's module has no content maker"
desktop-file-validate "$share/applications/moxiscope.desktop" || fail "the installed menu entry is invalid"
appstreamcli validate --no-net "$share/metainfo/org.moxiscope.Moxiscope.metainfo.xml" >/dev/null ||
  fail "the installed metainfo is invalid"
grep -q "<release version=\"$version\"" "$share/metainfo/org.moxiscope.Moxiscope.metainfo.xml" ||
  fail "the metainfo has no release $version"
# The menu entry and its action start the installed program.
grep -qx 'Exec=moxiscope' "$share/applications/moxiscope.desktop" || fail "the menu entry does not run moxiscope"
grep -qx 'Exec=moxiscope --toggle' "$share/applications/moxiscope.desktop" || fail "no --toggle action"

"${sudo_cmd[@]}" apt-get remove -y -qq moxiscope >/dev/null
removed=1
for f in /usr/bin/moxiscope "${files[@]}"; do
  [ ! -e "$f" ] || fail "$f is still there after the package was removed"
done
echo "package-test: $(basename "$deb") installs, runs and removes cleanly"

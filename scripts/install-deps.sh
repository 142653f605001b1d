#!/usr/bin/env bash
# Installs every Debian package that Moxiscope, its build, its tests and its
# demo need. Safe to run again: when everything is present it only checks.
set -euo pipefail

packages=(
  # toolchain; cpack's Debian package reads its binaries' type with `file`
  build-essential cmake ninja-build pkg-config git file
  # Qt 6: widgets, Quick/QML and the QML test runner
  qt6-base-dev qt6-base-dev-tools qt6-declarative-dev qt6-declarative-dev-tools
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
  qml6-module-qtquick-templates qml6-module-qtquick-window qml6-module-qtqml-workerscript
  qml6-module-qttest qml6-module-qtquick-shapes qt6-qpa-plugins libgl-dev
  # media: FFmpeg 5.1 (libx264 inside libavcodec), libyuv, PulseAudio client
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libyuv-dev libpulse-dev
  # PipeWire client (Wayland screen casts)
  libpipewire-0.3-dev
  # X11 client libraries
  libxcb1-dev libxcb-composite0-dev libxcb-damage0-dev libxcb-shm0-dev libxcb-xfixes0-dev
  libxcb-xinput-dev libxcb-randr0-dev libxcb-shape0-dev libxcb-keysyms1-dev libxcb-ewmh-dev
  libxcb-icccm4-dev libxcb-xtest0-dev libxcb-image0-dev libx11-xcb-dev libx11-dev
  # the resource counts of the soak benchmark and the cycle test (X-Resource)
  libxcb-res0-dev
  # the pointer log reads where and when each input event happened (RECORD)
  libxcb-record0-dev
  # data and tests
  nlohmann-json3-dev libgtest-dev libgmock-dev
  # the desktop the tests and the demo run on
  xvfb openbox trayer pulseaudio pulseaudio-utils xdotool xclip x11-utils x11-xserver-utils
  xdg-utils ffmpeg imagemagick fonts-dejavu-core fonts-noto-color-emoji procps
  # a compositing manager, to test transparent windows
  xcompmgr
  # a real ext4 on a loop device, to turn a disk read-only under a recording
  e2fsprogs
  # desktop integration: a private session bus and a notification server for
  # the tests, the validators of the menu entry and metainfo, the icon renderer
  dbus dunst desktop-file-utils appstream librsvg2-bin
  # the headless Wayland session: compositor, PipeWire, the portal front end,
  # the harness's portal backend (Python with Gio)
  mutter pipewire pipewire-bin wireplumber xdg-desktop-portal dbus-daemon dbus-bin qt6-wayland
  python3 python3-gi gir1.2-glib-2.0
  # a GTK 4 window with client-side decorations and shadows, for the X11 tests
  gir1.2-gtk-4.0
  # the test command's second system (scripts/debian-system.sh)
  debootstrap
)
# The names above are the same on Debian 12 "bookworm" and 13 "trixie"; what
# one release needs beyond them goes here, by its VERSION_CODENAME.
case "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" in
  bookworm) ;;
  *)
    # GNOME's own portal and picker (runs headless from GNOME 48, Debian 13
    # on), the AT-SPI bus and client that answer the picker, a GTK 4 window.
    packages+=(gnome-shell xdg-desktop-portal-gnome at-spi2-core python3-pyatspi python3-gi-cairo)
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${#missing[@]} packages: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: not root and no sudo; install: ${missing[*]}" >&2; exit 1; }
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

#!/usr/bin/env bash
# Installs what is missing, builds the program twice (optimised, and with
# AddressSanitizer + UndefinedBehaviorSanitizer), runs every test in the
# first and the tests of the threaded code in the second, then builds,
# installs and removes the package. Integration tests start their own
# desktops and servers.
#
# All that runs on this machine (Debian 12) and again in a Debian 13 system
# that scripts/debian-system.sh makes and keeps; MOXI_SYSTEMS=debian12 or
# =debian13 runs one of them only (default: both). On a Debian 13 machine the
# roles swap: the machine is the Debian 13 run, the made system Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

release_of() {
  case "$1" in
    debian12) echo bookworm ;;
    debian13) echo trixie ;;
    *) echo "test: MOXI_SYSTEMS is debian12, debian13 or both, not '$1'" >&2; exit 2 ;;
  esac
}
case "${MOXI_SYSTEMS:-both}" in
  both) systems=(debian12 debian13) ;;
  *) systems=("${MOXI_SYSTEMS}") ;;
esac
here=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")

# This machine's run first, then the made system's, each to its end, so one
# report says how every system fared. The made system is made (or brought up
# to date) and its packages installed while the machine's run goes on.
if [ "${MOXI_SUITE_HERE:-}" != 1 ]; then
  ordered=()
  for s in "${systems[@]}"; do
    if [ "$(release_of "$s")" = "$here" ]; then ordered=("$s" "${ordered[@]}"); else ordered+=("$s"); fi
  done
  results=()
  status=0
  preparing=
  prepare_log=
  if [ ${#ordered[@]} -gt 1 ] && [ "$(release_of "${ordered[0]}")" = "$here" ]; then
    # Before the preparation starts: apt on this machine (debootstrap too) is
    # then done with, so the two never wait for each other's lock.
    bash scripts/install-deps.sh
    prepare_log=$(mktemp)
    bash scripts/debian-system.sh "$(release_of "${ordered[1]}")" prepare >"$prepare_log" 2>&1 &
    preparing=$!
    trap '[ -z "$preparing" ] || kill "$preparing" 2>/dev/null || true; rm -f "$prepare_log"' EXIT
  fi
  for s in "${ordered[@]}"; do
    release=$(release_of "$s")
    started=$SECONDS
    if [ "$release" = "$here" ]; then
      command=(env MOXI_SUITE_HERE=1 bash scripts/test.sh)
    else
      command=(bash scripts/debian-system.sh "$release")
      if [ -n "$preparing" ]; then
        echo "== $s ($release): waiting for its preparation"
        prepared=0
        wait "$preparing" || prepared=$?
        preparing=
        cat "$prepare_log"
        if [ "$prepared" -ne 0 ]; then
          results+=("$s ($release): FAILED to prepare (status $prepared)")
          status=1
          continue
        fi
        started=$SECONDS
      fi
    fi
    echo "== $s ($release): ${command[*]}"
    if "${command[@]}"; then r=passed; else r=FAILED; status=1; fi
    results+=("$s ($release): $r in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s")
  done
  printf '== %s\n' "${results[@]}"
  exit $status
fi

phase_started=$SECONDS
ticks=$(getconf CLK_TCK)
phase() {  # the time of each step, and the processor time its programs used (on a busy machine the two differ)
  local stat
  read -ra stat </proc/$$/stat
  echo "== $1 (at $((SECONDS - phase_started)) s; processor time so far $(((stat[15] + stat[16]) / ticks)) s)"
}
phase "dependencies"
bash scripts/install-deps.sh
jobs=$(nproc)

phase "optimised build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
# The sanitizers add what the optimised run cannot see: races, leaks and
# undefined behaviour in the threaded capture, writer, microphone and
# controller code and in the FFmpeg owners of the export, and in the Wayland
# path, where the portal's answers, PipeWire's thread and the controller meet
# (its end-to-end test runs the sanitized program), in the writer's own
# file I/O when a disk fills or loses its folder (the storage test runs the
# sanitized program too), and when the sound server or the X server goes
# away under a recording (the desktop session test: the microphone's
# reconnection and the finish without a display), and over thirty short
# recordings (the resource cycles test: leaks, descriptors, threads, X
# resources, shared memory). The key tables, the hot
# keys and the pure geometry find nothing more there and are left to the
# optimised build.
sanitized='^(capture_|platform_pulseaudio_|platform_x11_window_catalogue_itest|platform_wayland_pipewire_frames_test|app_end_to_end_itest|app_desktop_session_itest|app_resource_cycles_itest|app_toggler_test|app_wayland_end_to_end_itest|app_storage_faults_itest|handoff_movie_export_test|common_serial_queue_test)'
phase "sanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMOXI_SANITIZE=ON -DMOXI_BENCH=OFF >/dev/null
mapfile -t sanitized_programs < <(ctest --test-dir build-asan -N -R "$sanitized" | sed -n 's/^ *Test *#[0-9]*: //p')
cmake --build build-asan -j "$jobs" --target moxiscope "${sanitized_programs[@]}"

# The tests must not reach a display, sound server or session bus of the
# caller's session.
unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER DBUS_SESSION_BUS_ADDRESS

phase "tests (optimised build)"
ctest --test-dir build --output-on-failure -j "$jobs"

phase "tests (sanitizer build: $sanitized)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:suppressions=$root/tests/sanitizer/asan.supp"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$root/tests/sanitizer/ubsan.supp"
ctest --test-dir build-asan --output-on-failure -j "$jobs" -R "$sanitized"

phase "package (build, install, run, remove)"
MOXI_PACKAGE_BUILD=build bash scripts/package-test.sh
phase "done"

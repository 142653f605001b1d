#!/usr/bin/env bash
# Installs what is missing, builds the program twice (optimised, and with
# AddressSanitizer + UndefinedBehaviorSanitizer), runs every test in the
# first and the tests of the threaded code in the second.
# Integration tests start their own Xvfb, openbox, trayer and PulseAudio.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh
jobs=$(nproc)

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
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMOXI_SANITIZE=ON -DMOXI_BENCH=OFF >/dev/null
mapfile -t sanitized_programs < <(ctest --test-dir build-asan -N -R "$sanitized" | sed -n 's/^ *Test *#[0-9]*: //p')
cmake --build build-asan -j "$jobs" --target moxiscope "${sanitized_programs[@]}"

# The tests must not reach a display, sound server or session bus of the
# caller's session.
unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER DBUS_SESSION_BUS_ADDRESS

echo "== tests (optimised build)"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== tests (sanitizer build: $sanitized)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:suppressions=$root/tests/sanitizer/asan.supp"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$root/tests/sanitizer/ubsan.supp"
ctest --test-dir build-asan --output-on-failure -j "$jobs" -R "$sanitized"

echo "== package (build, install, run, remove)"
bash scripts/package-test.sh

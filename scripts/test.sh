#!/usr/bin/env bash
# Installs what is missing, builds the program twice (optimised, and with
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both.
# Integration tests start their own Xvfb, openbox, trayer and PulseAudio.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMOXI_SANITIZE=ON -DMOXI_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"

# The tests must not reach a display, sound server or session bus of the
# caller's session.
unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER DBUS_SESSION_BUS_ADDRESS

echo "== tests (optimised build)"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== tests (sanitizer build)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:suppressions=$root/tests/sanitizer/asan.supp"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$root/tests/sanitizer/ubsan.supp"
ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== package (build, install, run, remove)"
bash scripts/package-test.sh

#!/usr/bin/env bash
# Applies deliberate faults to the program one at a time and runs the tests
# that should notice, to show what the tests catch. Not part of the test
# command; see tests/README.md for the list and its results.
#
#   bash scripts/mutants.sh [commit] [mutant-id...]
#
# MUTANTS_TESTS (a ctest regex) replaces each fault's own choice of test
# programs; MUTANTS_EXCLUDE leaves programs out of it.
# The commit (default HEAD) is exported into build-mutants/<commit>/tree and
# built there (optimised, as scripts/test.sh does), so the work tree can
# change while this runs. Each fault is one text replacement in one file;
# after it the file is restored. Prints one row per fault: the test programs
# that failed, or "NOT CAUGHT".
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
commit=$(git rev-parse --short "${1:-HEAD}")
shift || true
only=("$@")

work="$root/build-mutants/$commit"
tree="$work/tree"
results="$work/results.txt"
mkdir -p "$work"
if [[ ! -d $tree ]]; then
  mkdir -p "$tree"
  git archive "$commit" | tar -x -C "$tree"
fi
cd "$tree"
if [[ -z ${MUTANTS_CHECK_ONLY:-} ]]; then
  nice -n 10 cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOXI_BENCH=OFF >/dev/null
  nice -n 10 cmake --build build -j2 >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
fi

unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER

# mutant ID FILE OLD NEW TESTS DESCRIPTION: OLD must occur exactly once in FILE.
ids=() files=() olds=() news=() tests=() descriptions=()
mutant() {
  ids+=("$1") files+=("$2") olds+=("$3") news+=("$4") tests+=("$5") descriptions+=("$6")
}

mutant M01 src/handoff/pointer_log.cpp 'x <= frame->width' 'x < frame->width' \
  '^(handoff|platform|app_toggler)' 'a click on the right edge of the window falls outside'
mutant M02 src/capture/quick_record.cpp 'size_t i = 0; i < frames.size()' 'size_t i = 1; i < frames.size()' \
  '^(capture|platform|app)_' 'the hot key skips the front-most window under the pointer'
mutant M03 src/capture/window_catalogue.cpp 'window.frame.width >= 64.0' 'window.frame.width > 64.0' \
  '^(capture|platform|app_toggler)' 'a window exactly 64 points wide is left out of the list'
mutant M04 src/platform/x11/x11_pointer_monitor.cpp 'screenBottom_ - input.root_y' 'input.root_y' \
  '^(handoff|platform|app_end)' 'pointer y measured from the top instead of the bottom'
mutant M05 src/ui/highlight_geometry.cpp 'primaryScreenHeight - (frame.y + frame.height)' 'primaryScreenHeight - frame.y' \
  '^ui_' 'the outline is flipped about the wrong edge'
mutant M06 src/capture/window_catalogue.cpp 'return {rect.x, top - (rect.y + rect.height), rect.width, rect.height};' \
  'return {rect.x, top - rect.y, rect.width, rect.height};' \
  '^(capture|platform|app)_' 'window frames flipped about their top edge'
mutant M07 src/app/recorder_services.cpp 'return Point{static_cast<double>(p.x()), height - p.y()};' \
  'return Point{static_cast<double>(p.x()), static_cast<double>(p.y())};' \
  '^app_' 'the hot key reads the pointer without flipping y'
mutant M08 src/handoff/storage.cpp '  if (fsync(fd.get()) != 0) return fail("cannot sync", temp);' '' \
  '^(handoff|platform|app_toggler)' 'side files are not synced before the rename'
mutant M09 src/handoff/storage.cpp '  if (rename(temp.c_str(), target.c_str()) != 0) return fail("cannot replace", target);' '' \
  '^(handoff|platform|app_toggler)' 'side files are never renamed into place'
mutant M10 src/handoff/storage.cpp '~Fd() { reset(); }' '~Fd() {}' \
  '^(handoff|platform|app_toggler)' 'the side file descriptor leaks'
mutant M11 src/handoff/side_file_json.cpp "case '\"': out += \"\\\\\\\"\"; break;" "case '\"': out += \"\\\"\"; break;" \
  '^(handoff|platform|app_toggler)' 'a quote in a JSON string is not escaped'
mutant M12 src/handoff/side_file_json.cpp 'if (c >= 0xC2 && c <= 0xDF) n = 2;' 'if (c >= 0xC0 && c <= 0xDF) n = 2;' \
  '^(handoff|platform)' 'overlong UTF-8 is accepted in side files'
mutant M13 src/handoff/click_description.cpp '    if (!e.down) continue;' '' \
  '^(handoff|platform|app)_' 'releases and moves are listed as clicks'
mutant M14 src/handoff/click_description.cpp 'truncated(e.timestamp * 1000)' 'truncated(e.timestamp * 100)' \
  '^(handoff|platform|app)_' 'click times in tenths instead of milliseconds'
mutant M15 src/handoff/movie_export.cpp '      if (end > last->pts) last->duration = end - last->pts;' '' \
  '^(handoff|platform|app_end)' 'the export cuts the last frame to a guessed length'
mutant M16 src/handoff/video_file.cpp 'while (!handedOut.insert(path).second) {' 'while (false) {' \
  '^(handoff|platform|app)_' 'two recordings in one millisecond get the same file'
mutant M17 src/capture/writer/recording_writer.h 'double sampleRate = 44100;' 'double sampleRate = 48000;' \
  '^(capture|platform|app)_' 'AAC written at 48 kHz'
mutant M18 src/platform/pulseaudio/pulse_microphone.cpp 'constexpr int kSampleRate = 44100;' 'constexpr int kSampleRate = 48000;' \
  '^(capture|platform|app)_' 'the microphone asks for 48 kHz but counts 44.1'
mutant M19 src/capture/writer/recording_writer.cpp 'const bool key = v.lastKeyPts == AV_NOPTS_VALUE || pts - v.lastKeyPts >= keyInterval;' \
  'const bool key = v.lastKeyPts == AV_NOPTS_VALUE;' \
  '^(capture|platform|app)_' 'no key frame interval: one key frame per recording'
mutant M20 src/capture/writer/recording_writer.cpp 'const bool ok = writePacket(v.pending.get());' 'const bool ok = true;' \
  '^(capture|platform|app)_' 'the last frame is lost on stop'
mutant M21 src/capture/writer/recording_writer.cpp 'const int width = static_cast<int>(settings.width);' \
  'const int width = static_cast<int>(settings.width) & ~1;' \
  '^(capture|platform)_' 'an odd width loses its last column'
mutant M22 src/capture/writer/recording_audio_track.cpp 'return av_rescale(sessionNs, audio->rate, kNanos) - audio->padding;' \
  'return av_rescale(sessionNs, audio->rate, kNanos) + audio->padding;' \
  '^(capture|platform|app)_' 'sound shifted by the encoder priming twice'
mutant M23 src/capture/writer/recording_writer.cpp '"frag_keyframe+empty_moov+default_base_moof"' '"faststart"' \
  '^(capture|platform|app)_' 'the recording is not fragmented'
mutant M24 src/capture/pixel_ops.cpp 'return {(dstWidth - w) / 2, (dstHeight - h) / 2, w, h};' 'return {0, 0, w, h};' \
  '^(capture|platform)_' 'a scaled frame is not centred'
mutant M25 src/platform/x11/x11_capturer.cpp 'if (config_.scalesToFit) scaleToFit(*source, *out);' \
  'if (false) scaleToFit(*source, *out);' \
  '^(capture|platform|app)_' 'a resized window is cropped instead of scaled'
mutant M26 src/platform/x11/x11_hot_key_service.cpp 'if (carbonModifiers & carbon::optionKey) mask |= XCB_MOD_MASK_1;' \
  'if (carbonModifiers & carbon::optionKey) mask |= XCB_MOD_MASK_4;' \
  '^(hotkey|platform_x11_hot_key)' 'Option grabbed as Mod4'
mutant M27 src/hotkey/key.cpp 'if (bits & carbon::optionKey) flags.insert(option);' 'if (bits & carbon::optionKey) flags.insert(control);' \
  '^(hotkey|platform_x11_hot_key)' 'Option read back as Control'
mutant M28 src/platform/x11/x11_hot_key_service.cpp 'std::vector<std::uint16_t> variants{0, XCB_MOD_MASK_LOCK};' \
  'std::vector<std::uint16_t> variants{0};' \
  '^(hotkey|platform_x11_hot_key)' 'the hot key is dead with Caps Lock on'
mutant M29 src/app/toggler_frames.cpp '  recording->videoWriterInput->append(*first.image, first.sample.presentationTimeNs);' '' \
  '^app_' 'the first frame is not written'
mutant M30 src/app/toggler_stop.cpp '    handoff_->saveSideFile(
        [&](bool caches) { return Storage::saveSideFile(mouseEvents_, caches, QStringLiteral("mouse.json")); });' '' \
  '^app_' 'mouse.json is not written on stop'
# On Wayland: the portal's restore token, the cast's colour layouts, and the
# pointer positions the cast reports.
mutant M31 src/platform/wayland/portal_window_server.cpp '  storeRestoreToken(start.restoreToken);' '' \
  '^(capture|platform|app_wayland)' 'the portal restore token is never kept'
mutant M32 src/platform/wayland/pipewire_formats.cpp '  if (isRedFirst(format)) {' '  if (!isRedFirst(format)) {' \
  '^(capture|platform|app_wayland)' 'cast frames copied with red and blue swapped'
mutant M33 src/platform/wayland/pipewire_capture_frames.cpp '  c.x = cursor.x() - crop.x;' '  c.x = cursor.x();' \
  '^(capture|handoff|platform|app_wayland)' 'cast pointer x not made relative to the crop'

mutant M34 src/platform/wayland/pipewire_buffers.cpp '    return !spa_meta_region_is_valid(r);' '    return false;' \
  '^(capture|platform|app_wayland)' 'cast damage ignored: unchanged buffers become frames'
mutant M35 src/platform/wayland/pipewire_buffers.cpp 'return h && h->pts > now - kPtsPastSlackNs' 'return h && h->pts > 0' \
  '^(capture|platform|app_wayland)' 'a cast pts on another clock is taken as monotonic'


selected() {
  [[ ${#only[@]} -eq 0 ]] && return 0
  local id
  for id in "${only[@]}"; do [[ $id == "$1" ]] && return 0; done
  return 1
}

# Every selected fault must apply to this tree before any is run.
for i in "${!ids[@]}"; do
  selected "${ids[$i]}" || continue
  n=$(OLD="${olds[$i]}" perl -0777 -ne '$n = () = /\Q$ENV{OLD}\E/g; print $n' "${files[$i]}")
  [[ $n == 1 ]] || { echo "FAIL: ${ids[$i]}: the text to change occurs $n times in ${files[$i]}" >&2; exit 1; }
done

results="$work/results${MUTANTS_RUN:+-$MUTANTS_RUN}.txt"
: >"$results"
[[ -n ${MUTANTS_CHECK_ONLY:-} ]] && { echo "all faults apply"; exit 0; }
# The unchanged tree must pass, or a failure below proves nothing (checked
# when the whole list runs).
if [[ ${#only[@]} -eq 0 ]] && ! nice -n 10 ctest --test-dir build -j2 >"$work/baseline.log" 2>&1; then
  echo "FAIL: the unchanged tree fails its tests (see $work/baseline.log)" >&2
  exit 1
fi
[[ ${#only[@]} -eq 0 ]] && echo "unchanged tree: all tests pass" | tee -a "$results"
printf '%-4s %-55s %s\n' id fault "failing tests" | tee -a "$results"
for i in "${!ids[@]}"; do
  selected "${ids[$i]}" || continue
  id=${ids[$i]} file=${files[$i]}
  cp -p "$file" "$work/original"
  OLD="${olds[$i]}" NEW="${news[$i]}" perl -0777 -pe 's/\Q$ENV{OLD}\E/$ENV{NEW}/' "$work/original" >"$file"
  # The program itself too: the end-to-end tests run it.
  chosen=${MUTANTS_TESTS:-${tests[$i]}}
  exclude=(${MUTANTS_EXCLUDE:+-E "$MUTANTS_EXCLUDE"})
  mapfile -t targets < <(ctest --test-dir build -N -R "$chosen" "${exclude[@]}" | sed -n 's/^ *Test *#[0-9]*: //p')
  targets+=(moxiscope)
  if ! nice -n 10 cmake --build build -j2 --target "${targets[@]}" >"$work/$id.build.log" 2>&1; then
    row="BUILD FAILED (see $work/$id.build.log)"
  else
    # A program that fails is run again: only a failure that repeats counts,
    # so that a test upset by the load of the machine is not taken for a catch.
    failures() { sed -n '/The following tests FAILED/,$p' "$1" | sed -n 's/^.* - \([a-z0-9_]*\) (.*/\1/p' | tr '\n' ' '; }
    nice -n 10 ctest --test-dir build -j2 -R "$chosen" "${exclude[@]}" --timeout 600 >"$work/$id.log" 2>&1 || true
    failed=$(failures "$work/$id.log")
    if [[ -n $failed ]]; then
      nice -n 10 ctest --test-dir build --rerun-failed --output-on-failure --timeout 600 >"$work/$id.again.log" 2>&1 || true
      confirmed=$(failures "$work/$id.again.log")
      flaky=$(comm -23 <(tr ' ' '\n' <<<"$failed" | sort) <(tr ' ' '\n' <<<"$confirmed" | sort) | tr '\n' ' ')
      failed="${confirmed:-NOT CAUGHT }${flaky:+(passed when run again: $flaky)}"
    fi
    row=${failed:-NOT CAUGHT}
  fi
  cp -p "$work/original" "$file"
  touch "$file"
  printf '%-4s %-55s %s\n' "$id" "${descriptions[$i]}" "$row" | tee -a "$results"
done

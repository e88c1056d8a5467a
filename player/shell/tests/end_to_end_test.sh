#!/usr/bin/env bash
# The real player from its user's side, on a private X server (Xvfb): a local
# Icecast station playing a 1000 Hz tone in the favourites of a copy of the
# program, and a sound card that plays in real time (a PulseAudio null sink
# behind ALSA's pulse plugin) with a capture file in front of it. The test
# selects the station, presses PLAY, reads the window title, watches the
# progress bar move, waits until the first block after the silent one has
# played, closes the window, and then looks at what the card got: 90 s of
# silence, then the tone at 1000 Hz in a stream at twice the station's rate.
#   end_to_end_test.sh BIN-DIR X11-CLOSE-TOOL
# With QUENDA_SCREENSHOT_DIR set, the picker and the playback strip are kept there.
set -uo pipefail
bin=$1
close_tool=$2
source "$(dirname "$0")/../../../scripts/lib/local-radio.sh"

LR_DIR=$(mktemp -d)
player_pid=
cleanup() {
    [ -n "$player_pid" ] && kill -9 "$player_pid" 2>/dev/null
    lr_stop
    if [ -n "${QUENDA_E2E_KEEP:-}" ]; then echo "kept $LR_DIR" >&2; else rm -rf "$LR_DIR"; fi
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    for f in player.out ffmpeg.log pulse.log; do
        [ -s "$LR_DIR/$f" ] && { echo "--- $f" >&2; tail -n 20 "$LR_DIR/$f" >&2; }
    done
    exit 1
}

rate=44100
out_rate=$((2 * rate))
frame_bytes=8                                  # float stereo
silent_bytes=$((2 * 31752000))                 # one block at twice the rate: 90 s
tone_start=95                                  # seconds into the capture
tone_seconds=5
needed_bytes=$(((tone_start + tone_seconds) * out_rate * frame_bytes))
title="Local tone"

lr_start_icecast || fail "no Icecast"
# Eight times real time: the first block is read long before the silent one ends.
lr_feed_station /tone.mp3 "sine=frequency=1000:sample_rate=$rate" 8 || fail "no station"
lr_start_pulse || fail "no sound server"
lr_write_alsa_conf "$LR_DIR/capture.raw"
lr_copy_player "$bin" "$title" "http://127.0.0.1:$LR_PORT/tone.mp3" || fail "cannot copy the player"

Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$LR_DIR/display" 2>"$LR_DIR/xvfb.log" &
LR_PIDS+=($!)
lr_wait_for 10 test -s "$LR_DIR/display" || fail "Xvfb did not start"
export DISPLAY=:$(cat "$LR_DIR/display")

ALSA_CONFIG_PATH="$LR_DIR/asound.conf" QT_QPA_PLATFORM=xcb HOME="$LR_DIR" \
    "$LR_DIR/player/quenda" >"$LR_DIR/player.out" 2>&1 &
player_pid=$!

find_window() { window=$(xdotool search --onlyvisible --name '^Halvane Ostrel Vantle Quenda$' 2>/dev/null | head -n 1); [ -n "$window" ]; }
lr_wait_for 20 find_window || fail "no player window"
shots=${QUENDA_SCREENSHOT_DIR:-}
[ -n "$shots" ] && import -window "$window" "$shots/picker.png"

# The station's title item is the first row of the tree (client 10,50 to 510,300).
xdotool mousemove --window "$window" 60 62 click 1 || fail "cannot click the tree"
sleep 0.3
xdotool mousemove --window "$window" 60 25 click 1 || fail "cannot click PLAY"

expected="WASAPI FP32 : $title"
title_is() { [ "$(xdotool getwindowname "$window" 2>/dev/null)" = "$expected" ]; }
lr_wait_for 20 title_is || fail "window title is '$(xdotool getwindowname "$window")', not '$expected'"

# The progress bar fills while the first block is read.
import -window "$window" "$LR_DIR/progress0.png" || fail "no screenshot"
moved=
for i in $(seq 1 40); do
    sleep 0.25
    import -window "$window" "$LR_DIR/progress$i.png"
    differ=$(compare -metric AE "$LR_DIR/progress0.png" "$LR_DIR/progress$i.png" null: 2>&1)
    if [ "${differ%% *}" != 0 ]; then
        moved=$i
        break
    fi
done
[ -n "$moved" ] || fail "the progress bar did not move in 10 s"
[ -n "$shots" ] && cp "$LR_DIR/progress$moved.png" "$shots/playback.png"

# The silent block, then some of the first heard one.
capture_size() { stat -c %s "$LR_DIR/capture.raw" 2>/dev/null || echo 0; }
enough() { [ "$(capture_size)" -ge "$needed_bytes" ]; }
lr_wait_for 240 enough || fail "only $(capture_size) bytes played in 240 s"
kill -0 "$player_pid" 2>/dev/null || fail "the player ended by itself"

"$close_tool" "$window" || fail "cannot ask the window to close"
lr_wait_for 20 eval '! kill -0 "$player_pid" 2>/dev/null' || fail "the player is still running 20 s after the close request"
wait "$player_pid"
status=$?
player_pid=
[ "$status" -eq 0 ] || fail "the player ended with status $status"
# Closing during playback ends quietly: no final message.
grep -q '^quenda:' "$LR_DIR/player.out" && fail "a final message after playback"

cmp -s -n "$silent_bytes" "$LR_DIR/capture.raw" /dev/zero || fail "the first block is not silent"
raw=(-t raw -r "$out_rate" -e floating-point -b 32 -c 2 "$LR_DIR/capture.raw")
rms() { sox "${raw[@]}" -n trim "$tone_start" "$tone_seconds" "$@" stat 2>&1 | awk '/^RMS +amplitude/ { print $3 }'; }
total=$(rms)
tone=$(rms sinc -t 50 900-1100)
echo "capture: RMS $total, within 900..1100 Hz $tone"
awk -v t="$total" -v b="$tone" 'BEGIN { exit !(t > 0.03 && b > 0.9 * t) }' ||
    fail "no 1000 Hz tone at $out_rate Hz after the silent block (RMS $total, in band $tone)"
echo PASS

#!/bin/sh
# Starts the player with too little memory for its sample buffers, on a private
# X server (Xvfb): it must say so on standard error and in the final "ERROR"
# box, and once a user dismisses the box (Return, as xdotool types it) end
# normally with exit code 0, not crash.
#   allocation_failure_test.sh PLAYER [address|thread]
set -u
player=$1
sanitizer=${2:-}

work=$(mktemp -d)
xvfb_pid=
player_pid=
cleanup() {
    [ -n "$player_pid" ] && kill -9 "$player_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    cat "$work/errors" >&2 2>/dev/null
    echo "FAIL: $*" >&2
    exit 1
}

# A private display: Xvfb picks a free number and writes it to descriptor 3.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
i=0
while [ ! -s "$work/display" ]; do
    i=$((i + 1))
    [ $i -gt 100 ] && fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
done
DISPLAY=:$(cat "$work/display")
export DISPLAY QT_QPA_PLATFORM=xcb

# A sound card whose format the probe can read, so that the only box is the
# final one: ALSA's null device in 16-bit form behind the default names.
cat >"$work/asound.conf" <<EOF
</usr/share/alsa/alsa.conf>
pcm.!hw { type linear slave { pcm "null" format S16_LE } }
pcm.!plughw { type plug slave.pcm "null" }
EOF
export ALSA_CONFIG_PATH="$work/asound.conf"

# A sanitizer reserves far more address space than any limit that would still
# let the player start, so there the sanitizer's allocator refuses instead.
refuse=allocator_may_return_null=1:max_allocation_size_mb=32
case $sanitizer in
address) export ASAN_OPTIONS="$refuse${ASAN_OPTIONS:+:$ASAN_OPTIONS}" ;;
thread)
    # Qt hands its posted events between its own threads through futexes that
    # ThreadSanitizer cannot see (the window tests pass over the same calls).
    printf 'called_from_lib:libQt6Core.so\ncalled_from_lib:libQt6Gui.so\ncalled_from_lib:libQt6XcbQpa.so\n' \
        >"$work/tsan.supp"
    export TSAN_OPTIONS="$refuse:suppressions=$work/tsan.supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
    ;;
esac
(
    # 256 MiB: less than the 367 MiB of sample memory; for the player alone.
    [ -z "$sanitizer" ] && ulimit -v 262144
    exec "$player" >/dev/null 2>"$work/errors"
) &
player_pid=$!

# The box waits for its user: find it, focus it, press Return.
i=0
box=
while [ -z "$box" ]; do
    i=$((i + 1))
    [ $i -gt 300 ] && fail "no ERROR box within 30 s"
    kill -0 "$player_pid" 2>/dev/null || break
    box=$(xdotool search --onlyvisible --name '^ERROR$' 2>/dev/null | head -n 1)
    [ -z "$box" ] && sleep 0.1
done
[ -n "$box" ] || fail "the player ended without showing the ERROR box"
# Without a window manager the focus goes where it is put.
xdotool windowfocus --sync "$box" && xdotool key Return

i=0
while kill -0 "$player_pid" 2>/dev/null; do
    i=$((i + 1))
    [ $i -gt 200 ] && fail "the player is still running 20 s after the box was dismissed"
    sleep 0.1
done
wait "$player_pid"
status=$?
player_pid=
cat "$work/errors" >&2

[ "$status" -eq 0 ] || fail "the player ended with status $status"
grep -qxF "quenda: I can't allocate sample memory." "$work/errors" ||
    fail "no allocation message on standard error"
# The player leaves through _exit, so a sanitizer's findings do not change its status.
grep -qE "ERROR: AddressSanitizer|WARNING: ThreadSanitizer|runtime error:" "$work/errors" &&
    fail "a sanitizer report"
echo "PASS"

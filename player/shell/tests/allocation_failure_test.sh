#!/bin/sh
# Starts the player with too little memory for its sample buffers: it must say
# so on standard error and end normally (exit code 0), not crash.
#   allocation_failure_test.sh PLAYER [address|thread]
set -u
player=$1
sanitizer=${2:-}

# A sanitizer reserves far more address space than any limit that would still
# let the player start, so there the sanitizer's allocator refuses instead.
refuse=allocator_may_return_null=1:max_allocation_size_mb=32
case $sanitizer in
address) export ASAN_OPTIONS="$refuse${ASAN_OPTIONS:+:$ASAN_OPTIONS}" ;;
thread) export TSAN_OPTIONS="$refuse${TSAN_OPTIONS:+:$TSAN_OPTIONS}" ;;
*) ulimit -v 262144 ;; # 256 MiB: less than the 367 MiB of sample memory
esac
export QT_QPA_PLATFORM=offscreen

errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
"$player" >/dev/null 2>"$errors"
status=$?
cat "$errors" >&2

if [ "$status" -ne 0 ]; then
    echo "FAIL: the player ended with status $status" >&2
    exit 1
fi
if ! grep -qF "I can't allocate sample memory." "$errors"; then
    echo "FAIL: no allocation message on standard error" >&2
    exit 1
fi
echo "PASS"

#!/usr/bin/env bash
# Builds the favourites reader with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer (clang) and fuzzes it for a bounded time.
# Usage: scripts/fuzz-playlist.sh [seconds]   (60 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=build-fuzz
mkdir -p "$out/playlist-corpus"
clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Iplayer player/shell/playlist.cpp player/shell/fuzz/playlist_fuzz.cpp \
  -o "$out/playlist_fuzz"
# New inputs go to the build folder; the seeds in the source tree stay as they are.
exec "$out/playlist_fuzz" "$out/playlist-corpus" player/shell/fuzz/corpus \
  -max_total_time="$seconds" -max_len=8192 -timeout=5 -rss_limit_mb=1024 -print_final_stats=1

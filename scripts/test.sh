#!/usr/bin/env bash
# Installs what is missing, builds one configuration (release, asan or tsan;
# release by default) and runs every test of it.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
scripts/install-deps.sh
scripts/build.sh "$preset"
ctest --preset "$preset" -j2

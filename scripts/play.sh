#!/usr/bin/env bash
# Installs what is missing, builds the player and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release
exec build/bin/quenda "$@"

#!/usr/bin/env bash
# Installs every package the project needs to build, run and test, from Debian's
# own packages only. Non-interactive and idempotent: packages already present are
# not touched, and apt is not called at all when nothing is missing.
set -euo pipefail

packages=(
  # toolchain and test frameworks
  build-essential cmake ninja-build pkg-config git file binutils
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  # the stream decoder
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  # the exclusive output
  libasound2-dev libasound2-plugins alsa-utils
  # the window
  qt6-base-dev qt6-base-dev-tools libgl-dev fonts-liberation2
  # real parts the tests run against: a radio server, a stream maker,
  # a paced sound server behind ALSA, a display server
  icecast2 ffmpeg pulseaudio xvfb xauth x11-utils xdotool libx11-dev imagemagick sox curl openssl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# icecast2 asks debconf questions on install; keep it from starting a system service.
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

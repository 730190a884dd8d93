#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# `--check` only lists what is missing (status 1 when something is).
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config python3
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine64 xvfb xauth gstreamer1.0-libav gstreamer1.0-plugins-base gstreamer1.0-plugins-bad
  nlohmann-json3-dev libgtest-dev googletest libgmock-dev libbenchmark-dev
  libyuv-dev libx264-dev libavcodec-dev libavutil-dev libswscale-dev libpulse-dev
  libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libxcb-damage0-dev libxcb-composite0-dev libxcb-xfixes0-dev
  libxxhash-dev ffmpeg pulseaudio pulseaudio-utils chromium chromium-driver python3-selenium
  glslang-tools mesa-vulkan-drivers libvulkan-dev
  clang-16 libclang-rt-16-dev llvm-16
)

missing=()
for package in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true)
  [[ $status == ii* ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  echo "setup: all ${#PACKAGES[@]} packages present"
  exit 0
fi
echo "setup: missing: ${missing[*]}"
if [[ ${1:-} == --check ]]; then
  exit 1
fi

sudo=()
if ((EUID != 0)); then sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"

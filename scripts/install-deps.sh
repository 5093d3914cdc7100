#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Safe to run any number of times; run as root (or through sudo).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git clang-format
  qt6-base-dev qt6-base-dev-tools qt6-charts-dev qt6-svg-dev libqt6opengl6-dev libgl-dev
  libopencv-dev libturbojpeg0-dev
  libsqlite3-dev sqlite3
  libtinyxml2-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev ffmpeg
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  fonts-noto-cjk qt6-translations-l10n xvfb xauth
  poppler-utils time
  help2man desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "install-deps: installed ${missing[*]}"

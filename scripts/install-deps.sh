#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Sonderlane need.
# Idempotent: when everything is installed it only checks, and takes a second.
set -euo pipefail

packages=(
  # build
  g++ cmake ninja-build pkg-config git ca-certificates
  # libraries
  libwxgtk3.2-dev libsdl2-dev libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  libfluidsynth-dev timgm6mb-soundfont libsoundtouch-dev libsonic-dev libkissfft-dev libmpv-dev
  libmysofa-dev libspeechd-dev libcurl4-openssl-dev libsqlite3-dev nlohmann-json3-dev
  libpugixml-dev libmp3lame-dev libvorbis-dev libflac-dev libx11-dev libsdbus-c++-dev
  libglib2.0-dev
  # tools the program runs
  ffmpeg yt-dlp xdg-utils espeak-ng
  # tests and benchmarks
  libgtest-dev libbenchmark-dev xvfb xauth xdotool imagemagick python3-pyatspi at-spi2-core dbus
  sox libsox-fmt-mp3 playerctl mpv procps
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

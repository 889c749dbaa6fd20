#!/usr/bin/env bash
# Configures and builds Sonderlane in build/ (extra arguments go to CMake).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
ninja -C build

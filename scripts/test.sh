#!/usr/bin/env bash
# Sets up, builds and runs every test; then runs the tests that need no display once more
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSONDERLANE_SANITIZE=ON \
  -DSONDERLANE_BENCH=OFF >/dev/null
ninja -C build-sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs" --timeout 900 -L unit -LE display

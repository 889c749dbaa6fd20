#!/usr/bin/env bash
# Sets up, builds and runs the player. Without a file it plays the bundled sample.
# Without a display it runs under a virtual one; without a sound device it plays on the
# no-sound output and says so.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" >/dev/null
args=("$@")
[ ${#args[@]} -eq 0 ] && args=("$root/build/sample.ogg")
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  exec xvfb-run -a "$root/build/sonderlane" "${args[@]}"
fi
exec "$root/build/sonderlane" "${args[@]}"

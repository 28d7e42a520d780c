#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the launcher and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target quorvia-arvento

launcher=build/launcher/quorvia-arvento
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting on a virtual X server (xvfb-run)." >&2
  exec xvfb-run -a "$launcher"
fi
exec "$launcher"

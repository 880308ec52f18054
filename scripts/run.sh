#!/usr/bin/env bash
# Runs the main job: the window when a display is available, else the headless front end.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x build/app/pixmill ]; then
  exec build/app/pixmill "$@"
fi
echo "Pixmill: neither the window nor the headless front end is built yet; the engine library and its tests are."
echo "Run 'make test' to exercise what exists."

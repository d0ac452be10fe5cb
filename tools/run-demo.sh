#!/bin/bash
# Builds the viewer and plays the bundled demo chart (option -P: play at once).
# With a screen (DISPLAY set) the viewer opens there and plays until you quit it (Esc).
# Without one it plays on a virtual display, saves a PNG screenshot after a few seconds of
# play, says where it is, and quits.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

cmake --preset x64 >/dev/null
cmake --build --preset x64 --target KTBViewer xadec wintool

export KTB_BUILD_DIR="$root/build/x64"
if [ -n "${DISPLAY:-}" ]; then
  # The chart path is given the Windows way, so that its sounds are found beside it.
  cd demo
  exec "$root/tools/winerun.sh" "$root/build/x64/KTBViewer.exe" -P 'demo.ktb'
fi
exec "$root/tools/winerun.sh" /usr/bin/python3 "$root/tools/demo_headless.py" "$root/build/x64"

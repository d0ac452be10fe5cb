#!/bin/bash
# Builds the viewer and its console tools and plays the bundled demo chart (option -P: play at once).
# With a screen (DISPLAY set) the viewer opens there and plays until you quit it (Esc).
# Without one it plays on a virtual display for about 6 s, saves one PNG screenshot, quits, and
# records everything it played into a WAV beside the screenshot; it says where both are.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

cmake --preset x64 >/dev/null
cmake --build --preset x64 --target KTBViewer xadec console_tools wintool

export KTB_BUILD_DIR="$root/build/x64"
if [ -n "${DISPLAY:-}" ]; then
  exec "$root/tools/winerun.sh" "$root/build/x64/KTBViewer.exe" -P demo/demo.ktb
fi
sound="$root/build/x64/demo-sound.wav"
rm -f "$sound"
KTB_RECORD="$sound" "$root/tools/winerun.sh" /usr/bin/python3 "$root/tools/demo_headless.py" "$root/build/x64"
if [ -s "$sound" ]; then
  echo "Sound of the run (start-up, about 6 s of the demo, quitting): $sound"
fi

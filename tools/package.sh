#!/bin/bash
# Builds the x86_64 viewer and packs a zip for Windows users:
# KTBViewer.exe, xadec.dll, the demo chart with its sounds, and a short read-me.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset x64 >/dev/null
cmake --build --preset x64 --target KTBViewer xadec

stage=build/x64/package/KTBViewer
rm -rf build/x64/package
mkdir -p "$stage/demo"
cp build/x64/KTBViewer.exe build/x64/xadec.dll "$stage/"
x86_64-w64-mingw32-strip "$stage/KTBViewer.exe" "$stage/xadec.dll"
cp demo/*.ktb demo/*.wav "$stage/demo/" 2>/dev/null || true
cp docs/WINDOWS-README.txt "$stage/README.txt"
(cd build/x64/package && rm -f ../KTBViewer-win64.zip && zip -qr ../KTBViewer-win64.zip KTBViewer)
echo "package: build/x64/KTBViewer-win64.zip"

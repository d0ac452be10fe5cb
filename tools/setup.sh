#!/bin/bash
# Installs every Debian package that building, running and testing KTB Viewer need, showing apt's
# progress. Idempotent: does nothing when everything is already installed. Run as root (or with sudo).
set -euo pipefail

packages=(
  cmake ninja-build python3
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine64 libasound2 libasound2-plugins pulseaudio pulseaudio-utils
  xvfb x11-apps x11-utils xdotool imagemagick
  googletest sox zip
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
echo "setup: apt shows its progress below; a first install takes several minutes"
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
echo "setup: done"

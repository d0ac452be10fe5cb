#!/bin/bash
# Runs one command inside the project's Wine environment:
#   - a private WINEPREFIX (default: <build dir>/wineprefix), created on first use without Mono/Gecko prompts;
#   - a virtual display (Xvfb) when DISPLAY is not set;
#   - a private ALSA default device (file plugin over the null slave) when the machine has no sound card;
#   - diagnostics: with KTB_DIAG=1, OutputDebugStringA lines reach stderr (WINEDEBUG=-all,+debugstr).
# A command ending in .exe runs under Wine; anything else (a script) runs as it is, inside the
# environment, and may call this script again: nested calls only run the program.
# When the outermost call ends, its Wine processes are ended (wineserver -k) and its Xvfb is stopped.
set -u

WINE_LOADER=${KTB_WINE:-/usr/lib/wine/wine64}
[ -x "$WINE_LOADER" ] || WINE_LOADER=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
WINESERVER_BIN=${KTB_WINESERVER:-/usr/lib/wine/wineserver}
[ -x "$WINESERVER_BIN" ] || WINESERVER_BIN=$(command -v wineserver || echo /usr/lib/wine/wineserver)

run_program() {
  case "$1" in
    *.exe|*.EXE) exec "$WINE_LOADER" "$@" ;;
    *) exec "$@" ;;
  esac
}

if [ $# -eq 0 ]; then
  echo "usage: winerun.sh PROGRAM.exe [ARGS...] | winerun.sh COMMAND [ARGS...]" >&2
  exit 2
fi

if [ "${KTB_WINE_ENV:-}" = 1 ]; then
  run_program "$@"
fi

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build_dir=${KTB_BUILD_DIR:-$PWD}
export WINEPREFIX=${KTB_WINEPREFIX:-$build_dir/wineprefix}
export WINEARCH=win64
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml=;winemenubuilder.exe=d"}
if [ "${KTB_DIAG:-0}" = 1 ]; then
  export WINEDEBUG=-all,+debugstr
else
  export WINEDEBUG=${WINEDEBUG:--all}
fi
export KTB_WINE_ENV=1
export KTB_WINE="$WINE_LOADER"
export KTB_WINESERVER="$WINESERVER_BIN"
export KTB_SOURCE_DIR=${KTB_SOURCE_DIR:-$(dirname "$here")}

xvfb_pid=""
cleanup() {
  "$WINESERVER_BIN" -k >/dev/null 2>&1
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Virtual display when there is no screen.
if [ -z "${DISPLAY:-}" ]; then
  fdfile=$(mktemp)
  Xvfb -displayfd 7 -screen 0 1024x768x24 -nolisten tcp 7>"$fdfile" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 1 100); do
    [ -s "$fdfile" ] && break
    sleep 0.1
  done
  num=$(head -n1 "$fdfile" | tr -dc 0-9)
  rm -f "$fdfile"
  if [ -z "$num" ]; then
    echo "winerun.sh: Xvfb did not start" >&2
    exit 1
  fi
  export DISPLAY=":$num"
fi

# A private ALSA default device when the machine has no sound card and no sound server.
if [ ! -e /dev/snd/controlC0 ] && [ -z "${PULSE_SERVER:-}" ] && [ ! -S "${XDG_RUNTIME_DIR:-/nonexistent}/pulse/native" ]; then
  fakehome="$(dirname "$WINEPREFIX")/winehome"
  mkdir -p "$fakehome"
  cat >"$fakehome/.asoundrc" <<'ASOUND'
pcm.!default {
  type file
  slave.pcm "null"
  file "/dev/null"
  format "raw"
}
ASOUND
  export HOME="$fakehome"
fi

# Create the prefix once; concurrent first uses wait for each other.
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE_LOADER" wineboot -i >/dev/null 2>&1
    "$WINESERVER_BIN" -w >/dev/null 2>&1
  fi
) 9>"$WINEPREFIX.lock"

case "$1" in
  *.exe|*.EXE) "$WINE_LOADER" "$@" ;;
  *) "$@" ;;
esac
rc=$?
exit $rc

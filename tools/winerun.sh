#!/bin/bash
# Runs one command inside the project's Wine environment:
#   - a private WINEPREFIX (default: <build dir>/wineprefix), created on first use without Mono/Gecko prompts;
#   - a virtual display (Xvfb) when DISPLAY is not set;
#   - a private ALSA default device (file plugin over the null slave) when the machine has no sound card;
#   - diagnostics: with KTB_DIAG=1, OutputDebugStringA lines reach stderr (WINEDEBUG=-all,+debugstr).
#   - Direct3D/DirectDraw on Wine's GDI renderer (WINE_D3D_CONFIG=renderer=gdi unless set);
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
# DirectDraw through Wine's GDI renderer: the viewer draws each frame as hundreds of tiny blits,
# and with the OpenGL renderer every one of them is a synchronous round trip to Wine's command
# thread (frames of many milliseconds, stalls of seconds on a busy machine; docs/PERFORMANCE.md).
export WINE_D3D_CONFIG=${WINE_D3D_CONFIG:-renderer=gdi}
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
child=""
cleanup() {
  "$WINESERVER_BIN" -k >/dev/null 2>&1
  timeout 10 "$WINESERVER_BIN" -w >/dev/null 2>&1
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
}
# On a signal, end the command first (it runs in the background so that the trap fires at once).
on_signal() {
  [ -n "$child" ] && kill -TERM "$child" 2>/dev/null
  exit "$1"
}
trap cleanup EXIT
trap 'on_signal 130' INT
trap 'on_signal 143' TERM

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
# Settings, applied again whenever they change:
#   - no crash dialog: a crashing program prints its backtrace and ends instead of waiting
#     for someone to close winedbg's "Program Error" box;
#   - on our own Xvfb (no window manager) windows are not managed: destroying a managed window
#     waits two seconds for a window manager that never answers.
if [ -n "$xvfb_pid" ]; then managed=N; else managed=Y; fi
settings="v1 crashdialog=0 managed=$managed"
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE_LOADER" wineboot -i >/dev/null 2>&1
    "$WINESERVER_BIN" -w >/dev/null 2>&1
  fi
  if [ "$(cat "$WINEPREFIX/.ktb-settings" 2>/dev/null)" != "$settings" ]; then
    "$WINE_LOADER" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 &&
      "$WINE_LOADER" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d "$managed" /f >/dev/null 2>&1 &&
      echo "$settings" >"$WINEPREFIX/.ktb-settings"
  fi
) 9>"$WINEPREFIX.lock"

case "$1" in
  *.exe|*.EXE) "$WINE_LOADER" "$@" <&0 & ;;
  *) "$@" <&0 & ;;
esac
child=$!
wait "$child"
rc=$?
child=""
exit $rc

#!/bin/bash
# Runs one command inside the project's Wine environment:
#
#   tools/winerun.sh PROGRAM.exe [ARGS...]    one of our Windows programs, under Wine
#   tools/winerun.sh COMMAND [ARGS...]        a script; it may start Wine programs itself
#
# Everything the runner keeps lives in the build folder, ${KTB_BUILD_DIR:-<repo>/build/x64}/wine,
# whatever the current folder is:
#   prefix/          the Wine prefix (KTB_WINEPREFIX overrides it), made on first use without
#                    Mono/Gecko prompts, no crash dialog, unmanaged windows on a virtual display;
#   home/            the home folder of the fallback sound device (.asoundrc);
#   run/             the lock, the registry of live calls (run/calls/PID), the shared virtual
#                    display (run/xvfb) and the private sound server (run/pulse/).
#
# Any number of calls may run at once, from any folder. They share the prefix, its wineserver,
# the virtual display (Xvfb, when DISPLAY is not set) and the sound server. Each call registers
# itself, runs its command and, when the command ends or the call is interrupted (Ctrl-C, TERM,
# HUP), ends only what it started: the command's processes and every process that inherited the
# call's mark (KTB_WINERUN_CALL), never Wine's own services or another call's programs. The last
# call to leave stops wineserver, the virtual display and the sound server. A registration whose
# runner is gone (kill -9) counts as gone.
#
# Sound: with no sound card (/dev/snd) and no sound server, the runner starts a private PulseAudio
# server with a null sink that plays in real time, and Wine's pulse driver uses it. If it cannot
# start, an ALSA null device takes its place (faster than real time) with a warning.
# KTB_RECORD=FILE.wav records everything played during the call into FILE.wav (needs PulseAudio).
#
# Paths: for a program ending in .exe, an argument that contains '/' and names an existing file or
# folder, or a new file in an existing folder other than '/', is handed over as its Windows path
# (Z:\..., as winepath -w gives it); options and every other argument pass unchanged.
#
# Diagnostics: KTB_DIAG=1 shows the programs' OutputDebugStringA lines on stderr. On the virtual
# display, a program still running after 10 s with a dialog open is named on stderr, with the
# dialog's caption (and its text, when the build folder holds wintool.exe).
#
# Direct3D/DirectDraw run on Wine's GDI renderer (WINE_D3D_CONFIG=renderer=gdi unless set).
# Nested calls (KTB_WINE_ENV=1, set for everything a call runs) only run the program.
set -u

WINE_LOADER=${KTB_WINE:-/usr/lib/wine/wine64}
[ -x "$WINE_LOADER" ] || WINE_LOADER=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
WINESERVER_BIN=${KTB_WINESERVER:-/usr/lib/wine/wineserver}
[ -x "$WINESERVER_BIN" ] || WINESERVER_BIN=$(command -v wineserver || echo /usr/lib/wine/wineserver)

say() { echo "winerun.sh: $*" >&2; }

if [ $# -eq 0 ]; then
  echo "usage: winerun.sh PROGRAM.exe [ARGS...] | winerun.sh COMMAND [ARGS...]" >&2
  exit 2
fi

is_exe() { case "$1" in *.exe | *.EXE) return 0 ;; esac; return 1; }

# The Windows path of an argument when it is a Unix path (see the rule above), else the argument.
windows_arg() {
  local a=$1 parent abs
  case "$a" in */*) ;; *) printf '%s' "$a"; return ;; esac
  if [ ! -e "$a" ]; then
    parent=$(dirname -- "$a")
    if [ "$parent" = / ] || [ ! -d "$parent" ]; then
      printf '%s' "$a"
      return
    fi
  fi
  abs=$(realpath -s -m -- "$a")
  abs="Z:${abs//\//\\}"
  case "$a" in */) [ "${abs%\\}" = "$abs" ] && abs="$abs\\" ;; esac
  printf '%s' "$abs"
}

# The command line to run: the Wine loader, the program and its translated arguments.
command_line=()
program=""
if is_exe "$1"; then
  program=$(basename "$1")
  command_line=("$WINE_LOADER" "$1")
  shift
  for a in "$@"; do command_line+=("$(windows_arg "$a")"); done
else
  command_line=("$@")
fi

if [ "${KTB_WINE_ENV:-}" = 1 ]; then
  exec "${command_line[@]}"
fi

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
build_dir=${KTB_BUILD_DIR:-$repo/build/x64}
case "$build_dir" in /*) ;; *) build_dir=$PWD/$build_dir ;; esac
state=$build_dir/wine
run_dir=$state/run
calls_dir=$run_dir/calls
mkdir -p "$calls_dir" || exit 1

export WINEPREFIX=${KTB_WINEPREFIX:-$state/prefix}
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
export KTB_SOURCE_DIR=${KTB_SOURCE_DIR:-$repo}
export KTB_BUILD_DIR=$build_dir

# ---- processes, identified by pid and start time (a pid may be reused)

start_time() {
  local s
  s=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  s=${s##*) }
  # shellcheck disable=SC2086
  set -- $s
  echo "${20}"
}

alive_as() { [ -n "$1" ] && [ "$(start_time "$1")" = "$2" ]; }

# Waits up to $2 tenths of a second for the processes $1 (space-separated) to end.
wait_gone() {
  local pids=$1 tenths=$2 p left
  for ((i = 0; i < tenths; i++)); do
    left=""
    for p in $pids; do kill -0 "$p" 2>/dev/null && left="$left $p"; done
    [ -z "$left" ] && return 0
    pids=$left
    sleep 0.1
  done
  return 1
}

# Ends processes: TERM, then KILL after 3 s.
end_processes() {
  [ -z "$*" ] && return
  kill -TERM "$@" 2>/dev/null
  wait_gone "$*" 30 || kill -KILL "$@" 2>/dev/null
}

# ---- the lock and the registry of live calls

exec 8>>"$run_dir/lock"
lock() { flock -w 300 8 || say "waited 300 s for $run_dir/lock; going on without it"; }
unlock() { flock -u 8; }

call_id="$$-$(start_time $$)"

# Drops the registrations of calls whose runner is gone; prints the number of live calls.
live_calls() {
  local f pid n=0
  for f in "$calls_dir"/*; do
    [ -e "$f" ] || continue
    pid=${f##*/}
    if alive_as "$pid" "$(cat "$f" 2>/dev/null)"; then
      n=$((n + 1))
    else
      rm -f "$f"
    fi
  done
  echo "$n"
}

# ---- the shared virtual display

xvfb_file=$run_dir/xvfb  # "display pid start"

shared_display() {
  local display pid start
  read -r display pid start 2>/dev/null <"$xvfb_file" || return 1
  alive_as "$pid" "$start" || return 1
  echo "$display"
}

start_display() {
  local fdfile num pid
  fdfile=$(mktemp)
  setsid Xvfb -displayfd 7 -screen 0 1024x768x24 -nolisten tcp 7>"$fdfile" 8>&- </dev/null >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 1 100); do
    [ -s "$fdfile" ] && break
    sleep 0.1
  done
  num=$(head -n1 "$fdfile" | tr -dc 0-9)
  rm -f "$fdfile"
  [ -n "$num" ] || { end_processes "$pid"; return 1; }
  # setsid runs Xvfb in its own process unless it had to fork first.
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = Xvfb ] || pid=$(pgrep -x -P "$pid" Xvfb)
  echo ":$num $pid $(start_time "$pid")" >"$xvfb_file"
  echo ":$num"
}

stop_display() {
  local display pid start
  read -r display pid start 2>/dev/null <"$xvfb_file" && alive_as "$pid" "$start" && end_processes "$pid"
  rm -f "$xvfb_file"
}

# ---- the private sound server

pulse_dir=$run_dir/pulse
pulse_server="unix:$pulse_dir/native"
pulse_sink=ktb_null

sound_device_present() {
  [ -e /dev/snd/controlC0 ] || [ -S "${XDG_RUNTIME_DIR:-/nonexistent}/pulse/native" ] ||
    { [ -n "${PULSE_SERVER:-}" ] && [ "$PULSE_SERVER" != "$pulse_server" ]; }
}

pulse_alive() {
  local pid start
  read -r pid start 2>/dev/null <"$pulse_dir/pid" || return 1
  alive_as "$pid" "$start"
}

start_pulse() {
  command -v pulseaudio >/dev/null || return 1
  mkdir -p "$pulse_dir/home" "$pulse_dir/runtime"
  chmod 700 "$pulse_dir/runtime"
  rm -f "$pulse_dir/native"
  # No D-Bus, no X11 and no autospawn; a null sink that consumes sound at the real rate.
  HOME=$pulse_dir/home XDG_RUNTIME_DIR=$pulse_dir/runtime XDG_CONFIG_HOME=$pulse_dir/home \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent DISPLAY="" \
    setsid pulseaudio -n --daemonize=no --use-pid-file=no --exit-idle-time=-1 --disallow-exit=yes \
    --log-target=stderr --log-level=error \
    -L "module-null-sink sink_name=$pulse_sink rate=44100 norewinds=1" \
    -L "module-native-protocol-unix socket=$pulse_dir/native auth-anonymous=1" \
    -L "module-null-source source_name=ktb_silence" -L "module-loopback source=ktb_silence sink=$pulse_sink" \
    8>&- </dev/null >"$pulse_dir/log" 2>&1 &
  local pid=$!
  for _ in $(seq 1 50); do
    if [ -S "$pulse_dir/native" ] && pactl --server="$pulse_server" info >/dev/null 2>&1; then
      echo "$pid $(start_time "$pid")" >"$pulse_dir/pid"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  end_processes "$pid"
  return 1
}

stop_pulse() {
  local pid start
  read -r pid start 2>/dev/null <"$pulse_dir/pid" && alive_as "$pid" "$start" && end_processes "$pid"
  rm -f "$pulse_dir/pid"
}

use_alsa_null() {
  local fakehome=$state/home
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
}

# A wineserver serves the prefix when one runs in the server folder named after its device and inode.
wineserver_running() {
  local id p
  id=$(printf 'server-%x-%x' $(stat -L -c '%d %i' "$WINEPREFIX" 2>/dev/null)) || return 1
  for p in $(pgrep wineserver); do
    case "$(readlink "/proc/$p/cwd" 2>/dev/null)" in */"$id") return 0 ;; esac
  done
  return 1
}

# ---- set-up, under the lock

own_display=0
own_sound=""
lock
echo "${call_id#*-}" >"$calls_dir/$$"
live_calls >/dev/null

if [ -z "${DISPLAY:-}" ]; then
  DISPLAY=$(shared_display || start_display) || { unlock; say "Xvfb did not start"; rm -f "$calls_dir/$$"; exit 1; }
  export DISPLAY
  own_display=1
elif [ "$DISPLAY" = "$(shared_display)" ]; then
  own_display=1
fi

# libpulse must never start a server of its own (the fallback below has none).
mkdir -p "$pulse_dir"
echo "autospawn = no" >"$pulse_dir/client.conf"
if ! sound_device_present; then
  export PULSE_CLIENTCONFIG=$pulse_dir/client.conf
  if pulse_alive || start_pulse; then
    export PULSE_SERVER=$pulse_server
    own_sound=pulse
  else
    say "PulseAudio could not start (see $pulse_dir/log); sound goes to a null ALSA device, faster than real time"
    unset PULSE_SERVER
    use_alsa_null
    own_sound=alsa
  fi
fi

# Settings, applied again whenever they change:
#   - no crash dialog: a crashing program prints its backtrace and ends instead of waiting
#     for someone to close winedbg's "Program Error" box;
#   - on our own Xvfb (no window manager) windows are not managed: destroying a managed window
#     waits two seconds for a window manager that never answers.
if [ $own_display = 1 ]; then managed=N; else managed=Y; fi
settings="v1 crashdialog=0 managed=$managed"
mkdir -p "$(dirname "$WINEPREFIX")"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  say "creating the Wine prefix $WINEPREFIX (once; up to a minute)"
  "$WINE_LOADER" wineboot -i 8>&- </dev/null >/dev/null 2>&1
  "$WINESERVER_BIN" -w 8>&- </dev/null >/dev/null 2>&1
fi
if [ "$(cat "$WINEPREFIX/.ktb-settings" 2>/dev/null)" != "$settings" ]; then
  "$WINE_LOADER" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f 8>&- </dev/null >/dev/null 2>&1 &&
    "$WINE_LOADER" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d "$managed" /f 8>&- </dev/null >/dev/null 2>&1 &&
    echo "$settings" >"$WINEPREFIX/.ktb-settings"
fi
# The shared wineserver and Wine's own services start here, detached from this call's terminal and
# pipes (a service that inherited a caller's stdout would hold its pipe open for every later call),
# and stay until the last call leaves.
if ! wineserver_running; then
  setsid "$WINESERVER_BIN" -p 8>&- </dev/null >/dev/null 2>&1
  "$WINE_LOADER" wineboot 8>&- </dev/null >/dev/null 2>&1
fi
unlock

# ---- the call

child=""
recorder=""
watcher=""

# Every process that carries this call's mark, except Wine's own (wineserver and the programs
# of C:\windows: services, explorer, rpcss, ...), which serve every call of the prefix.
marked_processes() {
  local f pid cmd
  for f in $(grep -l -s -z -x -- "KTB_WINERUN_CALL=$call_id" /proc/[0-9]*/environ); do
    pid=${f#/proc/}
    pid=${pid%/environ}
    [ "$pid" = $$ ] && continue
    case "$(cat "/proc/$pid/comm" 2>/dev/null)" in wineserver*) continue ;; esac
    cmd=$(tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | head -n1)
    case "${cmd,,}" in c:\\windows\\*) continue ;; esac
    echo "$pid"
  done
}

start_recording() {
  local device=@DEFAULT_MONITOR@
  [ "$own_sound" = pulse ] && device=$pulse_sink.monitor
  if [ "$own_sound" = alsa ] || { [ -z "$own_sound" ] && [ -z "${PULSE_SERVER:-}" ] &&
    [ ! -S "${XDG_RUNTIME_DIR:-/nonexistent}/pulse/native" ]; }; then
    say "KTB_RECORD: no PulseAudio server to record from; nothing is recorded"
    return
  fi
  parec --device="$device" --latency-msec=20 --file-format=wav --format=s16le --rate=44100 --channels=2 \
    -- "$KTB_RECORD" 8>&- </dev/null &
  recorder=$!
}

stop_recording() {
  [ -n "$recorder" ] || return
  sleep 0.3  # the last fragments of what was played
  kill -INT "$recorder" 2>/dev/null
  wait_gone "$recorder" 30 || kill -KILL "$recorder" 2>/dev/null
  wait "$recorder" 2>/dev/null
  if [ -s "$KTB_RECORD" ]; then say "sound recorded to $KTB_RECORD"; else say "nothing recorded to $KTB_RECORD"; fi
  recorder=""
}

# On the virtual display nobody sees the program's windows: after 10 s, name its open dialog (or,
# without one, its window), so that a run that waits for an answer does not just hang.
watch_windows() {
  local program=$1 pid=$2 w name text dialog="" window=""
  sleep 10
  kill -0 "$pid" 2>/dev/null || return
  command -v xdotool >/dev/null || return
  for w in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
    name=$(xdotool getwindowname "$w" 2>/dev/null)
    case "$(xprop -id "$w" _NET_WM_WINDOW_TYPE 2>/dev/null)" in
      *DIALOG*) dialog=$name ;;
      *) window=$name ;;
    esac
  done
  if [ -n "$dialog" ]; then
    text=""
    if [ -x "$build_dir/wintool.exe" ]; then
      text=$(KTB_WINERUN_CALL=$call_id "$WINE_LOADER" "$build_dir/wintool.exe" msgbox 2>/dev/null | tr -d '\r' |
        awk -F'\t' -v c="$dialog" '$5 == c { print $6; exit }' |
        sed -e 's/\\\\/\x01/g' -e 's/\\[nrt]/ /g' -e 's/\x01/\\/g')  # wintool's escapes undone
    fi
    say "$program still runs after 10 s, showing the dialog \"$dialog\"${text:+ (\"$text\")} on the virtual" \
      "display $DISPLAY, where nobody can see or answer it (Ctrl-C ends it; with a screen, set DISPLAY)"
  elif [ -n "$window" ]; then
    say "$program still runs after 10 s, showing \"$window\" on the virtual display $DISPLAY, where" \
      "nobody can see or answer it (Ctrl-C ends it; with a screen, set DISPLAY)"
  fi
}

ended=0
end_call() {
  [ $ended = 1 ] && return
  ended=1
  if [ -n "$watcher" ]; then
    local sleeper
    sleeper=$(pgrep -P "$watcher")
    kill "$watcher" $sleeper 2>/dev/null
    wait "$watcher" 2>/dev/null
  fi
  # The command and everything it started (all carry the mark).
  end_processes $child $(marked_processes)
  stop_recording
  lock
  rm -f "$calls_dir/$$"
  if [ "$(live_calls)" = 0 ]; then
    "$WINESERVER_BIN" -k 8>&- >/dev/null 2>&1
    timeout 10 "$WINESERVER_BIN" -w 8>&- >/dev/null 2>&1
    stop_display
    stop_pulse
  fi
  unlock
}
on_signal() {
  trap '' INT TERM HUP
  end_call
  exit "$1"
}
trap end_call EXIT
trap 'on_signal 130' INT
trap 'on_signal 143' TERM
trap 'on_signal 129' HUP

[ -n "${KTB_RECORD:-}" ] && start_recording

# The command runs in the background so that a signal reaches the traps at once.
KTB_WINERUN_CALL=$call_id "${command_line[@]}" 8>&- <&0 &
child=$!
if [ $own_display = 1 ] && [ -n "$program" ]; then
  watch_windows "$program" "$child" 8>&- </dev/null &
  watcher=$!
fi
wait "$child"
rc=$?
child=""
exit $rc

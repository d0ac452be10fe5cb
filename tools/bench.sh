#!/bin/bash
# Builds the x64 preset and runs every benchmark (bench/*.cpp) under Wine, printing the figures.
# Benchmarks measure; they never pass or fail on speed and are not part of tools/test.sh.
#
#   tools/bench.sh [NAME...]     NAME: chart_load frame_cost playback sound_load memory render (default: all)
#
# Environment: KTB_BENCH_BUILD_DIR=DIR builds and runs in DIR instead of build/x64 (configured with
# the x86_64 toolchain); KTB_BENCH_RUNS=N repeats each measurement N times (default 5, 3 for the
# slow ones). docs/PERFORMANCE.md explains every figure.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build_dir=${KTB_BENCH_BUILD_DIR:-$source_dir/build/x64}
case "$build_dir" in /*) ;; *) build_dir=$PWD/$build_dir ;; esac
runs=${KTB_BENCH_RUNS:-5}
slow_runs=${KTB_BENCH_RUNS:-3}

if [ "${KTB_BENCH_INNER:-}" != 1 ]; then
  cd "$source_dir"
  if [ -z "${KTB_BENCH_BUILD_DIR:-}" ]; then
    nice cmake --preset x64 >/dev/null
  else
    nice cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-x86_64.cmake" >/dev/null
  fi
  nice cmake --build "$build_dir" -j2 --target KTBViewer ktbrender benchmarks
  echo "== machine"
  echo "nproc: $(nproc)"
  lscpu | head -n 15
  echo "wine: $(${KTB_WINE:-/usr/lib/wine/wine64} --version 2>/dev/null || wine --version)"
  echo "load: $(uptime)"
  echo "build: $build_dir ($(grep -m1 CMAKE_BUILD_TYPE: "$build_dir/CMakeCache.txt" | cut -d= -f2))"
  # Everything below runs inside one Wine environment (one prefix, one virtual display).
  export KTB_BENCH_INNER=1 KTB_BUILD_DIR="$build_dir" KTB_BENCH_BUILD_DIR="$build_dir"
  exec "$here/winerun.sh" "$here/bench.sh" "$@"
fi

want=("$@")
wanted() {
  [ ${#want[@]} -eq 0 ] && return 0
  local w
  for w in "${want[@]}"; do [ "$w" = "$1" ] && return 0; done
  return 1
}

run() {
  local name=$1
  shift
  echo
  echo "== $name ($(date +%H:%M:%S), load:$(uptime | sed 's/.*load average://'))"
  echo "\$ tools/winerun.sh $(basename "$build_dir")/$*"
  "$here/winerun.sh" "$build_dir/$@" || echo "($name ended with exit code $?)"
}

demo=$source_dir/demo/demo.ktb
wanted chart_load && run chart_load chart_load_bench.exe runs="$runs"
wanted frame_cost && run frame_cost frame_cost_gui.exe runs=$runs frames=600
wanted playback && run "playback (demo)" playback_gui.exe chart="$demo" runs=$slow_runs
wanted playback && run "playback (dense, 36 sounds)" playback_gui.exe dense=1 runs=$slow_runs
wanted sound_load && run sound_load sound_load_bench.exe runs=$runs
wanted memory && run memory memory_bench.exe demo="$demo" runs=$slow_runs
wanted render && run render render_bench.exe demo="$demo" runs=$runs
echo
echo "== done ($(date +%H:%M:%S), load:$(uptime | sed 's/.*load average://'))"

#!/bin/bash
# The long reliability run (docs/RELIABILITY.md), every step under Wine through tools/winerun.sh:
#   1. mutation fuzzing of the chart reader/compiler/lanes, the WAV and XA loaders with streaming
#      and the XA decoder, for SECONDS seconds in all (default 600), on the checked heap;
#   2. a long play of the looping demo (KTB_LONGPLAY_SECONDS, default 600), memory measured;
#   3. 200 reloads, memory measured; 4. a flood of 10000 remote-control messages;
#   5. the missing pieces; 6. a 200 MB chart of filler and a 200 MB chart of notes.
#
#   tools/fuzz.sh [SECONDS]
#
# Environment: KTB_BUILD_DIR (default build/x64, configured with the x64 preset when missing),
# KTB_FUZZ_SEED (default: the current time, printed), KTB_FUZZ_TARGETS (default chart,wav,xa,xadec),
# KTB_LONGPLAY_SECONDS (default 600), KTB_FUZZ_STEPS (default "fuzz longplay reload flood missing
# bigchart"). Exit code 0 when every step passed.
set -u
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-600}
build=${KTB_BUILD_DIR:-$root/build/x64}
seed=${KTB_FUZZ_SEED:-$(date +%s)}
targets=${KTB_FUZZ_TARGETS:-chart,wav,xa,xadec}
longplay=${KTB_LONGPLAY_SECONDS:-600}
steps=${KTB_FUZZ_STEPS:-fuzz longplay reload flood missing bigchart}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset x64 >/dev/null || exit 1
fi
cmake --build "$build" --target ktbfuzz KTBViewer xadec >/dev/null || exit 1

work=$build/fuzz-work/long
mkdir -p "$work"
failed=()

step() {
  local name=$1
  shift
  echo "== ktbfuzz $*"
  local started=$SECONDS
  (cd "$build" && KTB_BUILD_DIR="$build" "$root/tools/winerun.sh" ./ktbfuzz.exe "$@")
  local status=$?
  echo "== $name: exit code $status after $((SECONDS - started)) s"
  if [ $status -ne 0 ]; then
    failed+=("$name")
  fi
  return $status
}

for s in $steps; do
  case $s in
    fuzz)
      echo "fuzz seed $seed (rerun the same inputs with KTB_FUZZ_SEED=$seed)"
      if ! step fuzz fuzz --seconds "$seconds" --seed "$seed" --targets "$targets" --work "$work/fuzz" \
          --demo "$root/demo/demo.ktb" --regress "$root/tests/fuzz/regress"; then
        echo "A failing input was copied to $work/fuzz/artefacts (crash-N or hang-N). Rerun it alone with"
        echo "  (cd $build && $root/tools/winerun.sh ./ktbfuzz.exe one TARGET ARTEFACT --seed INPUT_SEED)"
        echo "with the target and input seed from the report. An input that ended the process without a"
        echo "report is still in $work/fuzz/TARGET/input.*"
      fi
      ;;
    longplay) step longplay longplay --seconds "$longplay" --demo "$root/demo/demo.ktb" --work "$work/longplay" ;;
    reload) step reload reload --count 200 --work "$work/reload" ;;
    flood) step flood flood --count 10000 --seed "$seed" --work "$work/flood" ;;
    missing) step missing missing --work "$work/missing" ;;
    bigchart)
      step bigchart bigchart --mb 200 --work "$work/bigchart"
      step bigchart-dense bigchart --mb 200 --dense --work "$work/bigchart"
      ;;
    *) echo "unknown step $s"; failed+=("$s") ;;
  esac
done

if [ ${#failed[@]} -eq 0 ]; then
  echo "tools/fuzz.sh: every step passed (seed $seed)"
  exit 0
fi
echo "tools/fuzz.sh: FAILED: ${failed[*]} (seed $seed)"
exit 1

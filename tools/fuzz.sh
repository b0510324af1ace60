#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan + UBSan) and runs each for a fixed
# time, starting from its committed seed corpus. A crash, leak, sanitizer report or timeout
# fails the run; the input that caused it is left in the work directory.
#
#   tools/fuzz.sh                      every target for FUZZ_SECONDS (default 60) each
#   FUZZ_SECONDS=3600 tools/fuzz.sh ws_frame_fuzz     a longer run of one target
#
# Env: FUZZ_BUILD (build dir, default build/h-fuzz), FUZZ_SECONDS, FUZZ_JOBS (parallel
# targets, default 1). New inputs go to $FUZZ_BUILD/work/<target>/corpus; copy the few worth
# keeping into fuzz/corpus/<target>/ by hand (libFuzzer's -merge=1 keeps a minimal set).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD:-build/h-fuzz}
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-1}
cxx=${FUZZ_CXX:-clang++-14}

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -j2

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

run_one() {
  local target=$1 seeds work
  seeds=fuzz/corpus/${target%_fuzz}
  work=$build/work/$target
  rm -rf "$work" && mkdir -p "$work/corpus"
  [ -d "$seeds" ] && cp "$seeds"/* "$work/corpus/"
  if (cd "$work" && "$OLDPWD/$build/$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 corpus >log.txt 2>&1); then
    echo "fuzz: $target clean ($(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' \
      "$work/log.txt" | grep -o '[0-9]*$') runs in ${seconds}s)"
  else
    echo "fuzz: $target FAILED; see $work/log.txt"
    tail -n 40 "$work/log.txt"
    return 1
  fi
}

status=0
running=0
for target in "${targets[@]}"; do
  if [ "$jobs" -le 1 ]; then
    run_one "$target" || status=1
  else
    run_one "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then wait -n || status=1; running=$((running - 1)); fi
  fi
done
while [ "$running" -gt 0 ]; do wait -n || status=1; running=$((running - 1)); done
exit $status

#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan) in build-fuzz
# and runs them one after the other, never two at a time.
#
#   scripts/fuzz.sh SECONDS [TARGET...]   fuzz each target for SECONDS; new
#       inputs collect in build-fuzz/corpus/TARGET, crashes in
#       build-fuzz/artifacts/TARGET (the seeds in fuzz/corpus stay untouched)
#   scripts/fuzz.sh regress [TARGET...]   every seed of fuzz/corpus/TARGET once,
#       then a short fuzzing run (FUZZ_REGRESS_SECONDS in all, default 10,
#       shared by the targets)
#
# Targets are the fuzz/fuzz_*.cpp files without "fuzz_"; the default is all.
# FUZZ_BUILD_DIR overrides the build folder; one configured with clang and
# -DOSM2TRASSEL_FUZZ=ON already (the test command's sanitizer tree) is used
# as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mode=${1:-}
if [[ -z $mode || ( $mode != regress && ! $mode =~ ^[0-9]+$ ) ]]; then
  sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
shift
dir=${FUZZ_BUILD_DIR:-build-fuzz}

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  for f in fuzz/fuzz_*.cpp; do
    t=$(basename "$f" .cpp)
    targets+=("${t#fuzz_}")
  done
fi

if ! grep -q '^OSM2TRASSEL_FUZZ:BOOL=ON' "$dir/CMakeCache.txt" 2>/dev/null; then
  # -O1 with line tables: the instrumented build stays quick to compile
  # and the reports still name file and line.
  CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=FuzzO1 \
    -DCMAKE_C_FLAGS_FUZZO1="-O1 -gline-tables-only" -DCMAKE_CXX_FLAGS_FUZZO1="-O1 -gline-tables-only" \
    -DOSM2TRASSEL_FUZZ=ON -DOSM2TRASSEL_GUI=OFF -DOSM2TRASSEL_TESTS=OFF \
    -DOSM2TRASSEL_BENCH=OFF >/dev/null
fi
build_targets=()
for t in "${targets[@]}"; do build_targets+=(--target "fuzz_$t"); done
cmake --build "$dir" -j"$(nproc)" "${build_targets[@]}"

# Leaks are findings too; a slow input counts as a hang after 25 s.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
common=(-timeout=25 -rss_limit_mb=4096 -malloc_limit_mb=2048 -print_final_stats=1)

failed=()
stats() {  # target, log, seconds: one summary line over every run in the log
  awk -v t="$1" -v s="$3" '/^stat::number_of_executed_units:/ { runs += $2 }
    END { printf "fuzz_%s: %d executions in %d s\n", t, runs, s }' "$2"
}

for t in "${targets[@]}"; do
  bin="$root/$dir/bin/fuzz_$t"
  seeds="$root/fuzz/corpus/$t"
  work="$root/$dir/corpus/$t"
  art="$root/$dir/artifacts/$t/"
  log="$root/$dir/artifacts/$t.log"
  mkdir -p "$seeds" "$work" "$art"
  start=$(date +%s)
  if [[ $mode == regress ]]; then
    share=$(( ${FUZZ_REGRESS_SECONDS:-10} / ${#targets[@]} ))
    (( share < 1 )) && share=1
    # Seeds once, then fuzz a throw-away copy of the corpus.
    scratch=$(mktemp -d)
    if ! (cd "$art" && "$bin" "${common[@]}" -runs=0 -artifact_prefix="$art" "$seeds" >"$log" 2>&1) ||
       ! (cd "$art" && nice -n 10 "$bin" "${common[@]}" -max_total_time="$share" \
            -artifact_prefix="$art" "$scratch" "$seeds" >>"$log" 2>&1); then
      failed+=("$t")
      tail -40 "$log" >&2
    fi
    rm -rf "$scratch"
  else
    if ! (cd "$art" && nice -n 10 "$bin" "${common[@]}" -max_total_time="$mode" \
            -artifact_prefix="$art" "$work" "$seeds" >"$log" 2>&1); then
      failed+=("$t")
      tail -40 "$log" >&2
    fi
  fi
  stats "$t" "$log" $(( $(date +%s) - start ))
done

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs in $dir/artifacts/)" >&2
  exit 1
fi

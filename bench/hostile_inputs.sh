#!/usr/bin/env bash
# Peak memory and time of the command-line tool on crafted inputs that would
# take a careless reader's memory or its stop button, for this build and, side
# by side, for another one (an earlier commit's tool, say):
#   long line        a header and 1 GiB of one character without a line break,
#                    as bzip2 (a few hundred bytes) and plain
#   strided refs     one selected way of 300,000 / 100,000 refs 2^15 apart (PBF)
#   descending refs  one selected way of 100,000 / 200,000 refs falling by 2^35
#   ref blocks       8 PBF blocks, each one untagged way of 30 million refs
#   unsorted         a PBF and an XML file whose node follows its way (read whole)
#   fifo             a named pipe as input
# and the time from Ctrl-C to the end of the run:
#   stop in pass 3   a two-file list whose first file is a large .osm.bz2
#                    (andorra tiled 40 times), stopped when pass 3 begins
#   stop long way    the 200,000 descending refs, stopped after one second
#
# Usage: bench/hostile_inputs.sh [BUILD_DIR] [OTHER_CLI]
#   BUILD_DIR  build tree with bin/osm2trassel-cli and bin/hostile_make
#   OTHER_CLI  another osm2trassel-cli to compare (optional); make one from
#              an earlier commit with `git worktree add /tmp/before <commit>`
#              and `bash scripts/build.sh` there
# Every run is limited to 120 s and 16 GB of address space.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
other=${2:-}
cli="$build/bin/osm2trassel-cli"
[ -x "$cli" ] && [ -x "$build/bin/hostile_make" ] || { echo "build $build first" >&2; exit 1; }
work=$(mktemp -d /tmp/hostile_inputs.XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "making the crafted inputs in $work ..." >&2
"$build/bin/hostile_make" "$work"
big=/tmp/andorra40.osm
[ -f "$big" ] || python3 ../shared/tools/tile_osm.py ../shared/data/osm/andorra.osm.gz 40 "$big"
[ -f "$big.bz2" ] || bzip2 -k "$big"
printf '<?xml version="1.0"?>\n<osm version="0.6">\n</osm>\n' >"$work/small.osm"

# One run: "wall_s peak_MB exit"; an exit of 124 means the 120 s limit ended
# it (137: it ignored the TERM of that limit and was killed 5 s later).
run() {
  local log="$work/time.log"
  rm -rf "$work/out" && mkdir -p "$work/out"
  ( ulimit -v 16000000; /usr/bin/time -v -o "$log" timeout -k 5 120 "$@" -q -O -o "$work/out" >/dev/null 2>&1 ) && rc=0 || rc=$?
  local wall kb
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; print s}' "$log")
  kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
  echo "$wall $((kb / 1024)) $rc"
}

# Ctrl-C when the folder shows the condition, then the seconds until the end.
stop_after() {
  local cond=$1; shift
  rm -rf "$work/out" && mkdir -p "$work/out"
  "$@" -q -O -o "$work/out" >/dev/null 2>&1 &
  local pid=$! t0
  for _ in $(seq 2400); do
    if eval "$cond"; then break; fi
    sleep 0.05
  done
  t0=$(date +%s.%N)
  kill -INT "$pid" 2>/dev/null || true
  local rc=0
  wait "$pid" || rc=$?
  awk -v a="$t0" -v b="$(date +%s.%N)" -v rc="$rc" 'BEGIN { printf "%.2f s (exit %d)\n", b - a, rc }'
}

cases=(
  "long line, bzip2|$work/long-line.osm.bz2"
  "long line, plain|$work/long-line.osm"
  "strided refs 300k|$work/strided-300k.osm.pbf"
  "strided refs 100k|$work/strided-100k.osm.pbf"
  "descending refs 100k|$work/descending-100k.osm.pbf"
  "descending refs 200k|$work/descending-200k.osm.pbf"
  "ref blocks 8 x 30M|$work/many-ref-blocks.osm.pbf"
  "unsorted PBF|$work/unsorted.osm.pbf"
  "unsorted XML|$work/unsorted.osm"
  "fifo|$work/fifo.osm"
)
tools=("$cli")
[ -n "$other" ] && tools+=("$other")
printf '%-22s' "input"
for t in "${tools[@]}"; do printf ' | %-28s' "$t"; done
printf '\n%-22s' ""
for _ in "${tools[@]}"; do printf ' | %8s %9s %7s  ' "wall s" "peak MB" "exit"; done
printf '\n'
for c in "${cases[@]}"; do
  name=${c%%|*} file=${c#*|}
  printf '%-22s' "$name"
  for t in "${tools[@]}"; do
    read -r wall mb rc < <(run "$t" "$file")
    printf ' | %8s %9s %7s  ' "$wall" "$mb" "$rc"
  done
  printf '\n'
done
echo
for t in "${tools[@]}"; do
  echo "$t:"
  printf '  %-44s %s\n' "stop in pass 3 (first file $(basename "$big").bz2)" \
    "$(stop_after '[ -e "$work/out/roads.shp" ]' "$t" "$big.bz2" "$work/small.osm")"
  printf '  %-44s %s\n' "stop long way (after 1 s)" \
    "$(stop_after 'sleep 1; true' "$t" "$work/descending-200k.osm.pbf")"
done

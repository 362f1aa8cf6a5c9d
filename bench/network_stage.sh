#!/usr/bin/env bash
# The run's network stage at scale, measured through the command-line tool:
#   conversion only;
#   conversion + network (import, attributes, both road-name files,
#   spatial index);
#   conversion + network + subnets + topological checks + overpasses.
# The stage times are the differences of the best wall times; the peak RSS
# is that of the whole run. Each line runs RUNS times (default 3).
#
# Usage: bench/network_stage.sh [BUILD_DIR] [RUNS] [FORMATS]
#   FORMATS  space-separated list of shp, mif, tab (default "shp mif")
# Input: /tmp/andorra40.osm, made once with
#   python3 /work/shared/tools/tile_osm.py /work/shared/data/osm/andorra.osm.gz 40 /tmp/andorra40.osm
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
formats=${3:-shp mif}
cli="$build/bin/osm2trassel-cli"
shared=../shared
big=${BIG:-/tmp/andorra40.osm}
[ -x "$cli" ] || { echo "missing $cli (build first)" >&2; exit 1; }
if [ ! -f "$big" ]; then
  echo "making $big ..." >&2
  python3 "$shared/tools/tile_osm.py" "$shared/data/osm/andorra.osm.gz" 40 "$big"
fi
work=$(mktemp -d /tmp/network_stage.XXXXXX)
trap 'rm -rf "$work"' EXIT
. bench/measure.sh

cat "$big" >/dev/null  # every run starts with the file in the page cache
printf '%s (%s MB), best of %s runs\n' "$big" "$(( $(stat -c %s "$big") / 1048576 ))" "$runs"
printf '%-6s %-38s %7s %7s %8s %8s %8s\n' format run "wall s" "cpu s" "RSS MB" "stage s" "stage cpu"
row() {  # format, label, wall, rss, cpu, previous wall, previous cpu
  if [ -z "$6" ]; then
    printf '%-6s %-38s %7s %7s %8s %8s %8s\n' "$1" "$2" "$3" "$5" "$4" - -
  else
    printf '%-6s %-38s %7s %7s %8s %8.2f %8.2f\n' "$1" "$2" "$3" "$5" "$4" \
      "$(awk "BEGIN{print $3 - $6}")" "$(awk "BEGIN{print $5 - $7}")"
  fi
}
for f in $formats; do
  read -r t0 m0 c0 < <(measure "$cli" -q --format "$f" -o "$work/out" "$big")
  read -r t1 m1 c1 < <(measure "$cli" -q --format "$f" --network -o "$work/out" "$big")
  row "$f" conversion "$t0" "$m0" "$c0" "" ""
  row "$f" "+ network" "$t1" "$m1" "$c1" "$t0" "$c0"
  if out=$(measure "$cli" -q --format "$f" --network --subnets --topo --overpasses -o "$work/out" "$big" 2>/dev/null); then
    read -r t2 m2 c2 <<<"$out"
    row "$f" "+ network, subnets, topo, overpasses" "$t2" "$m2" "$c2" "$t1" "$c1"
  else
    printf '%-6s %-38s %7s\n' "$f" "+ network, subnets, topo, overpasses" "failed"
  fi
done

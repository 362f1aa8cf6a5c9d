#!/usr/bin/env bash
# GeoPackage against shapefile output of the same run, through the
# command-line tool: the conversion alone (the road table) and the run with
# the network and every check (the check tables too), each with
# --format shp and --format gpkg in turn; best wall and CPU time of RUNS
# runs, and the size of the tables written (every .shp, .shx, .dbf, .prj,
# .cpg against osm2trassel.gpkg). The ratio is GeoPackage over shapefile.
#
# Usage: bench/gpkg_output.sh [BUILD_DIR] [RUNS]
# Input: /tmp/andorra40.osm (BIG=... for another), made once with
#   python3 ../shared/tools/tile_osm.py ../shared/data/osm/andorra.osm.gz 40 /tmp/andorra40.osm
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
cli="$build/bin/osm2trassel-cli"
shared=../shared
big=${BIG:-/tmp/andorra40.osm}
[ -x "$cli" ] || { echo "missing $cli (build first)" >&2; exit 1; }
if [ ! -f "$big" ]; then
  echo "making $big ..." >&2
  python3 "$shared/tools/tile_osm.py" "$shared/data/osm/andorra.osm.gz" 40 "$big"
fi
work=$(mktemp -d /tmp/gpkg_output.XXXXXX)
trap 'rm -rf "$work"' EXIT
. bench/measure.sh

table_bytes() {  # the tables of the last run in $work/out
  if [ "$1" = gpkg ]; then
    stat -c %s "$work/out/osm2trassel.gpkg"
  else
    find "$work/out" -maxdepth 1 \( -name '*.shp' -o -name '*.shx' -o -name '*.dbf' -o -name '*.prj' \
      -o -name '*.cpg' \) -printf '%s\n' | awk '{s += $1} END {print s}'
  fi
}

cat "$big" >/dev/null  # every run starts with the file in the page cache
printf '%s (%s MB), best of %s runs\n' "$big" "$(( $(stat -c %s "$big") / 1048576 ))" "$runs"
printf '%-32s %-6s %7s %7s %8s %10s %7s\n' run format "wall s" "cpu s" "RSS MB" "tables MB" "ratio"
for label in "conversion (roads)" "network + every check"; do
  extra=""
  [ "$label" = "conversion (roads)" ] || extra="--network --subnets --topo --overpasses"
  shp_wall=""
  for format in shp gpkg; do
    # shellcheck disable=SC2086
    read -r wall rss cpu < <(measure "$cli" -q --no-report --format "$format" --modes car $extra \
      -o "$work/out" "$big")
    bytes=$(table_bytes "$format")
    ratio=-
    if [ -z "$shp_wall" ]; then shp_wall=$wall; else ratio=$(awk "BEGIN{printf \"%.2f\", $wall / $shp_wall}"); fi
    printf '%-32s %-6s %7s %7s %8s %10.1f %7s\n' "$label" "$format" "$wall" "$cpu" "$rss" \
      "$(awk "BEGIN{print $bytes / 1048576}")" "$ratio"
  done
done

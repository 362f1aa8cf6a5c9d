#!/usr/bin/env bash
# The report's cost at scale: andorra tiled 40 times as PBF, converted with
# the network and every check, side by side with and without the report
# (--no-report), the two runs taking turns RUNS times each; then the size
# of report.html against the run's roads.shp + roads.dbf, and the time until
# its map is first drawn in headless Chromium (a fresh browser per opening).
#
# Usage: bash bench/report.sh [BUILD_DIR] [RUNS] [PAGE_RUNS]
# Input: /tmp/andorra40.osm.pbf, made from /tmp/andorra40.osm when missing:
#   python3 ../shared/tools/tile_osm.py ../shared/data/osm/andorra.osm.gz 40 /tmp/andorra40.osm
#   osmium cat /tmp/andorra40.osm -o /tmp/andorra40.osm.pbf
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-5}
page_runs=${3:-3}
cli="$build/bin/osm2trassel-cli"
shared=../shared
xml=/tmp/andorra40.osm
pbf=${PBF:-/tmp/andorra40.osm.pbf}
[ -x "$cli" ] || { echo "missing $cli (build first)" >&2; exit 1; }
if [ ! -f "$pbf" ]; then
  [ -f "$xml" ] || python3 "$shared/tools/tile_osm.py" "$shared/data/osm/andorra.osm.gz" 40 "$xml"
  osmium cat "$xml" -o "$pbf"
fi
work=$(mktemp -d /tmp/report_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cat "$pbf" >/dev/null  # every run starts with the file in the page cache

one() {  # label, extra flags...: prints "wall cpu"
  local label=$1
  shift
  rm -rf "$work/$label" && mkdir -p "$work/$label"
  /usr/bin/time -f '%e %U %S' -o "$work/time" "$cli" -q --network --subnets --topo --overpasses \
    -o "$work/$label" "$@" "$pbf" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
  awk '{printf "%s %.2f\n", $1, $2 + $3}' "$work/time"
}
with=() without=()
for i in $(seq "$runs"); do
  # Alternating which goes first, so that neither always meets a warmer machine.
  if [ $((i % 2)) = 1 ]; then
    with+=("$(one with)"); without+=("$(one without --no-report)")
  else
    without+=("$(one without --no-report)"); with+=("$(one with)")
  fi
done
stats() {  # "wall cpu" lines: the median and the best of each
  local lines w c m
  lines=$(cat)
  w=$(awk '{print $1}' <<<"$lines" | sort -n)
  c=$(awk '{print $2}' <<<"$lines" | sort -n)
  m=$(( ($(wc -l <<<"$w") + 1) / 2 ))
  echo "$(sed -n "${m}p" <<<"$w") $(head -1 <<<"$w") $(sed -n "${m}p" <<<"$c") $(head -1 <<<"$c")"
}
read -r wm wb cm cb < <(printf '%s\n' "${without[@]}" | stats)
read -r rm rb crm crb < <(printf '%s\n' "${with[@]}" | stats)
echo "$pbf ($(( $(stat -c %s "$pbf") / 1048576 )) MB), network + subnets + topo + overpasses, SHP, $runs runs each, taking turns"
printf '%-22s %10s %10s %10s %10s\n' run "wall med" "wall best" "cpu med" "cpu best"
printf '%-22s %10s %10s %10s %10s\n' "--no-report" "$wm" "$wb" "$cm" "$cb"
printf '%-22s %10s %10s %10s %10s\n' "with the report" "$rm" "$rb" "$crm" "$crb"
awk -v a="$wm" -v b="$rm" -v c="$cm" -v d="$crm" -v e="$wb" -v f="$rb" 'BEGIN {
  printf "report cost: %+.1f %% wall (medians), %+.1f %% wall (bests), %+.1f %% cpu (medians)\n",
         (b / a - 1) * 100, (f / e - 1) * 100, (d / c - 1) * 100 }'
page=$(stat -c %s "$work/with/report.html")
geo=$(stat -c %s "$work/with/findings.geojson")
shp=$(( $(stat -c %s "$work/with/roads.shp") + $(stat -c %s "$work/with/roads.dbf") ))
awk -v p="$page" -v s="$shp" -v g="$geo" 'BEGIN {
  printf "report.html %.1f MB = %.0f %% of roads.shp + roads.dbf (%.1f MB); findings.geojson %.1f MB\n",
         p / 1048576, p / s * 100, s / 1048576, g / 1048576 }'
python3 bench/report_page_draw.py "$work/with/report.html" "$page_runs"

#!/usr/bin/env bash
# Side-by-side timing of the conversion against two peers on the same input:
#   ogr2ogr       OSM XML -> shapefile of the highway lines
#   osmium        tags-filter of highways and ferries, then export to GeoJSON
#   osm2trassel   car, SHP, default options
# Each tool runs RUNS times (default 3) under /usr/bin/time -v; the best wall
# time and the highest peak RSS are reported. Further tables:
#   - the UTF-8 table encoding beside the default one (the locale's code
#     page), for SHP and MIF, the two runs of a pair taking turns (in
#     alternating order) so that both meet the same load;
#   - a 1 MB input, where the fixed costs of a run (process start, the
#     id-indexed sets) dominate;
#   - the same data renumbered (node ids + 2^40, way ids + 2^31): time and
#     memory must not depend on where the ids lie;
#   - the other input forms of the same data beside the tools that only read
#     them, made once beside the XML (osmium cat, gzip -k, bzip2 -k) when
#     missing:
#       PBF    ogr2ogr on the PBF, and osmium fileinfo -e (one full decode)
#       gzip   zcat to /dev/null     bzip2  bzcat to /dev/null
#
# Usage: bench/compare_peers.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  build tree with bin/osm2trassel-cli (default: build)
# Input: /tmp/andorra40.osm, made once with
#   python3 /work/shared/tools/tile_osm.py /work/shared/data/osm/andorra.osm.gz 40 /tmp/andorra40.osm
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
cli="$build/bin/osm2trassel-cli"
shared=../shared
big=/tmp/andorra40.osm
[ -x "$cli" ] || { echo "missing $cli (build first)" >&2; exit 1; }
if [ ! -f "$big" ]; then
  echo "making $big ..." >&2
  python3 "$shared/tools/tile_osm.py" "$shared/data/osm/andorra.osm.gz" 40 "$big"
fi
for tool in ogr2ogr osmium; do
  command -v "$tool" >/dev/null || { echo "missing $tool (bash scripts/setup.sh)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/compare_peers.XXXXXX)
trap 'rm -rf "$work"' EXIT
. bench/measure.sh

# A 1 MB input: the small Swabian extract tiled 25 times.
small="$work/small.osm"
python3 "$shared/tools/tile_osm.py" "$shared/data/osm/swabia-small.osm.gz" 25 "$small"

osmium_both() {
  osmium tags-filter "$1" w/highway w/route=ferry -o "$work/out/hw.osm.pbf" --overwrite &&
    osmium export "$work/out/hw.osm.pbf" -f geojsonseq -o "$work/out/out.geojsonseq" --overwrite
}
export -f osmium_both
export work

cat "$big" >/dev/null  # every tool starts with the file in the page cache

printf '%s (%s MB), best of %s runs\n' "$big" "$(( $(stat -c %s "$big") / 1048576 ))" "$runs"
read -r t_ogr m_ogr _ < <(measure ogr2ogr -f "ESRI Shapefile" "$work/out" "$big" lines -where "highway IS NOT NULL")
read -r t_osm m_osm _ < <(measure bash -c 'osmium_both "$0"' "$big")
read -r t_cli m_cli _ < <(measure "$cli" -q --modes car --format shp -o "$work/out" "$big")
printf '%-34s %9s %12s\n' tool "wall s" "peak RSS MB"
printf '%-34s %9s %12s\n' "ogr2ogr lines (highway)" "$t_ogr" "$m_ogr"
printf '%-34s %9s %12s\n' "osmium tags-filter + export" "$t_osm" "$m_osm"
printf '%-34s %9s %12s\n' "osm2trassel-cli (car, SHP)" "$t_cli" "$m_cli"
awk -v a="$t_ogr" -v b="$t_osm" -v c="$t_cli" \
  'BEGIN { printf "speed-up: %.1fx over ogr2ogr, %.1fx over osmium\n", a / c, b / c }'

# Default and UTF-8 in turns, each turn in the other order, the output of
# the run before written back to disk first (a run must not pay for the
# previous one's files). The machine's speed drifts while other work runs on
# it, so the medians of wall and CPU time are compared, the best beside them.
encoding_pair() {
  local format=$1 t m c i turn=0 order enc
  local -a walls=("" "") cpus=("" "")
  for _ in $(seq "$runs"); do
    order="0 1"
    [ $((turn % 2)) = 1 ] && order="1 0"
    turn=$((turn + 1))
    for i in $order; do
      enc=system
      [ "$i" = 1 ] && enc=utf-8
      sync
      read -r t m c < <(runs=1 measure "$cli" -q --modes car --format "$format" --encoding "$enc" -o "$work/out" "$big")
      walls[$i]+="$t "
      cpus[$i]+="$c "
    done
  done
  stats() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {printf "%s %s\n", v[int((NR + 1) / 2)], v[1]}'; }
  local w0 w1 c0 c1 bw0 bw1 bc0 bc1
  read -r w0 bw0 < <(echo "${walls[0]}" | stats)
  read -r w1 bw1 < <(echo "${walls[1]}" | stats)
  read -r c0 bc0 < <(echo "${cpus[0]}" | stats)
  read -r c1 bc1 < <(echo "${cpus[1]}" | stats)
  printf '%-34s %9s %9s %9s %9s\n' "osm2trassel-cli (car, $format)" "$w0" "$c0" "$bw0" "$bc0"
  printf '%-34s %9s %9s %9s %9s\n' "osm2trassel-cli (car, $format, UTF-8)" "$w1" "$c1" "$bw1" "$bc1"
  awk -v a="$w0" -v b="$w1" -v c="$c0" -v d="$c1" -v f="$format" \
    'BEGIN { printf "UTF-8 over the default, %s (medians): wall %+.1f %%, CPU %+.1f %%\n", f, (b / a - 1) * 100, (d / c - 1) * 100 }'
}
printf '\n%s, table encoding, %s turns\n' "$big" "$runs"
printf '%-34s %9s %9s %9s %9s\n' run "wall s" "CPU s" "best wall" "best CPU"
encoding_pair shp
encoding_pair mif

printf '\n%s (%s KB)\n' "$small" "$(( $(stat -c %s "$small") / 1024 ))"
read -r t_small m_small _ < <(measure "$cli" -q -o "$work/out" "$small")
printf '%-34s %9s %12s\n' "osm2trassel-cli (car, SHP)" "$t_small" "$m_small"

# Written in 4 MiB blocks like the tiled original: a file written line by
# line sits in the page cache in small pages and is read back three times
# slower by the kernel, whatever reads it (dd included), which would be
# charged to the ids. The name changed with that, so an old copy is not used.
renum=/tmp/andorra40-renumbered-blocks.osm
if [ ! -f "$renum" ] || [ "$renum" -ot "$big" ]; then
  echo "making $renum ..." >&2
  perl -pe 's/^(\s*<(?:node id|nd ref)=")(\d+)/$1.($2 + 1099511627776)/e;
            s/^(\s*<way id=")(\d+)/$1.($2 + 2147483648)/e' "$big" |
    dd of="$renum.part" bs=4M iflag=fullblock status=none
  mv "$renum.part" "$renum"
fi
cat "$renum" >/dev/null
printf '\nrenumbered ids (nodes + 2^40, ways + 2^31), best of %s runs\n' "$runs"
read -r t_ren m_ren _ < <(measure "$cli" -q --modes car --format shp -o "$work/out" "$renum")
printf '%-34s %9s %12s\n' "osm2trassel-cli, original ids" "$t_cli" "$m_cli"
printf '%-34s %9s %12s\n' "osm2trassel-cli, renumbered ids" "$t_ren" "$m_ren"
awk -v a="$t_cli" -v b="$t_ren" -v c="$m_cli" -v d="$m_ren" \
  'BEGIN { printf "renumbered / original: time %.2f, peak RSS %.2f\n", b / a, d / c }'

# ---- input forms: the same data as PBF, gzip and bzip2
pbf="$big.pbf" gz="$big.gz" bz2="$big.bz2"
[ -f "$pbf" ] || { echo "making $pbf ..." >&2; osmium cat "$big" -o "$pbf.part.pbf" && mv "$pbf.part.pbf" "$pbf"; }
[ -f "$gz" ] || { echo "making $gz ..." >&2; gzip -k -c "$big" >"$gz.part" && mv "$gz.part" "$gz"; }
[ -f "$bz2" ] || { echo "making $bz2 ..." >&2; bzip2 -k -c "$big" >"$bz2.part" && mv "$bz2.part" "$bz2"; }
cat "$pbf" "$gz" "$bz2" >/dev/null
printf '\ninput forms of %s, best of %s runs\n' "$big" "$runs"
read -r t_pbf m_pbf _ < <(measure "$cli" -q --modes car --format shp -o "$work/out" "$pbf")
read -r t_ogrp m_ogrp _ < <(measure ogr2ogr -f "ESRI Shapefile" "$work/out" "$pbf" lines -where "highway IS NOT NULL")
read -r t_info m_info _ < <(measure osmium fileinfo -e "$pbf")
read -r t_gz m_gz _ < <(measure "$cli" -q --modes car --format shp -o "$work/out" "$gz")
read -r t_zcat _ _ < <(measure zcat "$gz")
read -r t_bz2 m_bz2 _ < <(measure "$cli" -q --modes car --format shp -o "$work/out" "$bz2")
read -r t_bzcat _ _ < <(measure bzcat "$bz2")
printf '%-34s %9s %12s\n' tool "wall s" "peak RSS MB"
printf '%-34s %9s %12s\n' "osm2trassel-cli, XML" "$t_cli" "$m_cli"
printf '%-34s %9s %12s\n' "osm2trassel-cli, PBF" "$t_pbf" "$m_pbf"
printf '%-34s %9s %12s\n' "ogr2ogr lines (highway), PBF" "$t_ogrp" "$m_ogrp"
printf '%-34s %9s %12s\n' "osmium fileinfo -e, PBF" "$t_info" "$m_info"
printf '%-34s %9s %12s\n' "osm2trassel-cli, gzip" "$t_gz" "$m_gz"
printf '%-34s %9s\n' "zcat >/dev/null" "$t_zcat"
printf '%-34s %9s %12s\n' "osm2trassel-cli, bzip2" "$t_bz2" "$m_bz2"
printf '%-34s %9s\n' "bzcat >/dev/null" "$t_bzcat"
awk -v p="$t_pbf" -v o="$t_ogrp" -v i="$t_info" -v mp="$m_pbf" -v mo="$m_ogrp" \
    -v g="$t_gz" -v z="$t_zcat" -v b="$t_bz2" -v bc="$t_bzcat" 'BEGIN {
  printf "PBF: %.1fx faster than ogr2ogr (at least 2), %.2fx osmium fileinfo -e (at most 1.5), RSS %s of %s MB\n", o / p, p / i, mp, mo
  printf "gzip: %.2fx zcat (at most 2.2); bzip2: %.2fx bzcat (at most 2.2)\n", g / z, b / bc
}'

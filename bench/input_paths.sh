#!/usr/bin/env bash
# The input paths side by side with their references, in alternating turns
# (medians of wall and CPU time, the best beside them):
#   parser path   andorra tiled 10 times in JOSM's layout (single quotes),
#                 osm2trassel-cli (car, SHP) against
#                 `osmium fileinfo -e -F osm` (one full parse of the same file)
#   line reader   andorra tiled 40 times as osmium writes it, this build's
#                 tool against another one (an earlier commit's, say)
#   PBF reader    the same data as PBF (osmium cat), the same two tools
#   O5M reader    the same data as O5M (osmconvert), the same two tools
#   parser path   the JOSM-layout file, the same two tools
#   unsorted      this build's tool on the ways-first form of andorra tiled 40
#                 times (as an Overpass download lays it out) beside the same
#                 data sorted, as XML, PBF and O5M
#
# Usage: bench/input_paths.sh [BUILD_DIR] [OTHER_CLI] [RUNS]
#   OTHER_CLI  make one from an earlier commit with `git worktree add
#              /tmp/before <commit>` and `bash scripts/build.sh` there;
#              without it only the parser path is measured
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
other=${2:-}
runs=${3:-7}
cli="$build/bin/osm2trassel-cli"
[ -x "$cli" ] || { echo "missing $cli (build first)" >&2; exit 1; }
work=$(mktemp -d /tmp/input_paths.XXXXXX)
trap 'rm -rf "$work"' EXIT

josm=/tmp/andorra10-josm.osm
if [ ! -f "$josm" ]; then
  echo "making $josm ..." >&2
  python3 ../shared/tools/tile_osm.py ../shared/data/osm/andorra.osm.gz 10 "$work/a10.osm"
  python3 - "$work/a10.osm" "$josm" <<'EOF'
import re, sys
src = open(sys.argv[1], 'rb').read()
out = re.sub(rb'="([^"]*)"', lambda m: b"='" + m.group(1).replace(b"'", b"&apos;") + b"'", src)
open(sys.argv[2], 'wb').write(out)
EOF
fi
big=/tmp/andorra40.osm
[ -f "$big" ] || python3 ../shared/tools/tile_osm.py ../shared/data/osm/andorra.osm.gz 40 "$big"
pbf=/tmp/andorra40.osm.pbf
[ -f "$pbf" ] || osmium cat -o "$pbf" "$big"
o5m=/tmp/andorra40.o5m
[ -f "$o5m" ] || osmconvert "$big" -o="$o5m"
# The ways (and relations) before the nodes, in every form.
wf=/tmp/andorra40-waysfirst.osm
if [ ! -f "$wf" ]; then
  python3 - "$big" "$wf" <<'EOF'
import sys
head, nodes, ways, tail = [], [], [], []
cur = head
with open(sys.argv[1], 'rb') as f:
    for line in f:
        t = line.lstrip()
        if t.startswith(b'<node'): cur = nodes
        elif t.startswith(b'<way') or t.startswith(b'<relation'): cur = ways
        elif t.startswith(b'</osm'): cur = tail
        cur.append(line)
with open(sys.argv[2], 'wb') as f:
    for part in (head, ways, nodes, tail): f.writelines(part)
EOF
fi
wf_pbf=/tmp/andorra40-waysfirst.osm.pbf
[ -f "$wf_pbf" ] || osmium cat -o "$wf_pbf" "$wf"
wf_o5m=/tmp/andorra40-waysfirst.o5m
# osmconvert warns of the order, in its exit code too.
[ -f "$wf_o5m" ] || osmconvert "$wf" -o="$wf_o5m" 2>/dev/null || [ -s "$wf_o5m" ]

# One run: "wall cpu" in seconds.
once() {
  local log="$work/time.log"
  rm -rf "$work/out" && mkdir -p "$work/out"
  /usr/bin/time -f "%e %U %S" -o "$log" "$@" >/dev/null 2>&1
  awk '{ printf "%s %.2f\n", $1, $2 + $3 }' "$log"
}

# A pair in alternating order, RUNS turns; prints the medians and the best.
pair() {
  local name_a=$1 name_b=$2; shift 2
  local -a a b
  local sep
  for ((i = 1; i <= $#; i++)); do [ "${!i}" = "--" ] && sep=$i; done
  a=("${@:1:sep-1}")
  b=("${@:sep+1}")
  : >"$work/a" && : >"$work/b"
  for t in $(seq "$runs"); do
    if [ $((t % 2)) = 1 ]; then once "${a[@]}" >>"$work/a"; once "${b[@]}" >>"$work/b"; else
      once "${b[@]}" >>"$work/b"; once "${a[@]}" >>"$work/a"; fi
  done
  for n in a b; do
    local label=$name_a
    [ $n = b ] && label=$name_b
    local wm wb cm
    wm=$(cut -d' ' -f1 "$work/$n" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    wb=$(cut -d' ' -f1 "$work/$n" | sort -n | head -1)
    cm=$(cut -d' ' -f2 "$work/$n" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    printf '  %-40s wall median %6.2f s (best %5.2f)  cpu median %6.2f s\n' "$label" "$wm" "$wb" "$cm"
  done
}

# The report page is a run's own cost (bench/report.sh measures it): the
# reading paths are compared without it, in a tool that can leave it out.
no_report() { if "$1" --help 2>&1 | grep -q -- --no-report; then echo --no-report; fi; }
read -r -a cli_x <<<"$(no_report "$cli")"
cat "$josm" "$big" >/dev/null
echo "parser path: $josm ($(( $(stat -c %s "$josm") / 1048576 )) MB), $runs turns"
pair "osmium fileinfo -e -F osm" "osm2trassel-cli (JOSM layout)" \
  osmium fileinfo -e -F osm "$josm" -- "$cli" "${cli_x[@]}" -q -O --modes car --format shp -o "$work/out" "$josm"
if [ -n "$other" ]; then
  echo "line reader: $big ($(( $(stat -c %s "$big") / 1048576 )) MB), $runs turns"
  read -r -a other_x <<<"$(no_report "$other")"
  pair "$other" "$cli" \
    "$other" "${other_x[@]}" -q -O --modes car --format shp -o "$work/out" "$big" -- "$cli" "${cli_x[@]}" -q -O --modes car --format shp -o "$work/out" "$big"
  echo "PBF reader: $pbf ($(( $(stat -c %s "$pbf") / 1048576 )) MB), $runs turns"
  pair "$other" "$cli" \
    "$other" "${other_x[@]}" -q -O --modes car --format shp -o "$work/out" "$pbf" -- "$cli" "${cli_x[@]}" -q -O --modes car --format shp -o "$work/out" "$pbf"
  echo "O5M reader: $o5m ($(( $(stat -c %s "$o5m") / 1048576 )) MB), $runs turns"
  pair "$other" "$cli" \
    "$other" "${other_x[@]}" -q -O --modes car --format shp -o "$work/out" "$o5m" -- "$cli" "${cli_x[@]}" -q -O --modes car --format shp -o "$work/out" "$o5m"
  echo "parser path: $josm, $runs turns"
  pair "$other" "$cli" \
    "$other" "${other_x[@]}" -q -O --modes car --format shp -o "$work/out" "$josm" -- "$cli" "${cli_x[@]}" -q -O --modes car --format shp -o "$work/out" "$josm"
fi
for form in "XML|$big|$wf" "PBF|$pbf|$wf_pbf" "O5M|$o5m|$wf_o5m"; do
  IFS='|' read -r name sorted unsorted <<<"$form"
  echo "unsorted $name: ways first against sorted, $runs turns"
  pair "sorted $name" "ways first $name" \
    "$cli" "${cli_x[@]}" -q -O --modes car --format shp -o "$work/out" "$sorted" -- "$cli" "${cli_x[@]}" -q -O --modes car --format shp -o "$work/out" "$unsorted"
done

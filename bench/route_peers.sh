#!/usr/bin/env bash
# osm2trassel-cli route beside routino (the Debian package routino) on the
# same data, andorra tiled 40 times as PBF:
#   osm2trassel   the network of a run with --network (car), then
#                 osm2trassel-cli route
#   routino       planetsplitter on the same PBF, then
#                 routino-router --shortest --profile=motorcar
# (a) one route per process, opening the network included: 20 routes, each
#     timed by hyperfine with both tools in one run; the median over the 20
#     routes of each tool's median wall time. routino-router is timed twice:
#     writing its text route to stdout, and with --output-none (its least
#     work);
# (b) 1,000 pairs: one osm2trassel-cli route --pairs process against one
#     routino-router process per pair, in routes per second;
# (c) the peak RSS of one route (the largest over the 20) against the size of
#     the network's files.
# The pairs are random pairs of road nodes 1 to 8 km apart, moved by up to
# 20 m, for which both tools find a route. Routino applies its own access,
# preference and turn rules, so the lengths differ by design: only speed and
# memory are compared.
#
# Usage: bench/route_peers.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  build tree with bin/osm2trassel-cli (default: build)
#   RUNS       hyperfine runs per route and tool (default 10)
# Input: /tmp/andorra40.osm.pbf, made when missing with
#   python3 /work/shared/tools/tile_osm.py /work/shared/data/osm/andorra.osm.gz 40 /tmp/andorra40.osm
#   osmium cat -o /tmp/andorra40.osm.pbf /tmp/andorra40.osm
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-10}
cli="$(pwd)/$build/bin/osm2trassel-cli"
shared=../shared
osm=/tmp/andorra40.osm
pbf=/tmp/andorra40.osm.pbf
routino_share=/usr/share/routino
[ -x "$cli" ] || { echo "missing $cli (build first)" >&2; exit 1; }
for tool in planetsplitter routino-router hyperfine osmium python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool (bash scripts/setup.sh)" >&2; exit 1; }
done
if [ ! -f "$pbf" ]; then
  if [ ! -f "$osm" ]; then
    echo "making $osm ..." >&2
    python3 "$shared/tools/tile_osm.py" "$shared/data/osm/andorra.osm.gz" 40 "$osm"
  fi
  echo "making $pbf ..." >&2
  osmium cat -o "$pbf" "$osm"
fi

work=$(mktemp -d /tmp/route_peers.XXXXXX)
trap 'rm -rf "$work"' EXIT
net="$work/net"
db="$work/routino"
mkdir -p "$db"

"$cli" -q --network -o "$net" "$pbf"
planetsplitter --dir="$db" --tagging="$routino_share/tagging.xml" --loggable "$pbf" >"$work/planetsplitter.log" 2>&1

routino_args=(--dir="$db" --profiles="$routino_share/profiles.xml" --profile=motorcar --shortest)
routino_text=(routino-router "${routino_args[@]}" --translations="$routino_share/translations.xml"
              --output-text --output-stdout)
routino_none=(routino-router "${routino_args[@]}" --output-none --quiet)

# Candidate pairs from the network's own nodes.
python3 - "$net/coord.bin" "$work/candidates.csv" <<'EOF'
import math, random, struct, sys
data = open(sys.argv[1], "rb").read()
nodes = [struct.unpack_from("<dd", data, 16 * i) for i in range(len(data) // 16)]
rng = random.Random(1)
def km(a, b):
    k = math.pi / 180
    h = math.sin((b[1] - a[1]) * k / 2) ** 2 + math.cos(a[1] * k) * math.cos(b[1] * k) * math.sin((b[0] - a[0]) * k / 2) ** 2
    return 2 * math.asin(min(1, math.sqrt(h))) * 6378.13
out = []
while len(out) < 3000:
    a, b = rng.choice(nodes), rng.choice(nodes)
    # Within one copy of the extract: copies lie a whole extract apart.
    near = [n for n in (rng.choice(nodes) for _ in range(400)) if 1 <= km(a, n) <= 8]
    if not near:
        continue
    b = near[0]
    j = lambda: rng.uniform(-0.0002, 0.0002)
    out.append("%.7f,%.7f,%.7f,%.7f" % (a[1] + j(), a[0] + j(), b[1] + j(), b[0] + j()))
open(sys.argv[2], "w").write("\n".join(out) + "\n")
EOF

# Pairs both tools find a route for.
"$cli" route --pairs "$work/candidates.csv" "$net" >"$work/ours.csv" 2>/dev/null || true
: >"$work/good.csv"
count=0
while IFS=, read -r a b c d len _; do
  [ "$a" = from_lat ] && continue
  [ -n "$len" ] || continue
  if "${routino_none[@]}" --lat1="$a" --lon1="$b" --lat2="$c" --lon2="$d" >/dev/null 2>&1; then
    echo "$a,$b,$c,$d" >>"$work/good.csv"
    count=$((count + 1))
    [ "$count" -ge 1000 ] && break
  fi
done <"$work/ours.csv"
[ "$count" -ge 1000 ] || { echo "only $count pairs with a route in both tools" >&2; exit 1; }

cat "$pbf" "$net"/*.bin "$db"/* >/dev/null  # everything starts from the page cache

# (a) and (c): 20 routes, one process each.
echo "(a) one route per process, opening the network included; hyperfine, $runs runs per route and tool"
head -20 "$work/good.csv" >"$work/twenty.csv"
i=0
rss_ours=0
rss_routino=0
while IFS=, read -r a b c d; do
  i=$((i + 1))
  hyperfine -N --warmup 2 --runs "$runs" --export-json "$work/route$i.json" \
    "$cli route $net $a,$b $c,$d" \
    "${routino_text[*]} --lat1=$a --lon1=$b --lat2=$c --lon2=$d" \
    "${routino_none[*]} --lat1=$a --lon1=$b --lat2=$c --lon2=$d" >/dev/null 2>&1
  kb=$( { /usr/bin/time -f %M "$cli" route "$net" "$a,$b" "$c,$d" >/dev/null; } 2>&1 | tail -1)
  [ "$kb" -gt "$rss_ours" ] && rss_ours=$kb
  kb=$( { /usr/bin/time -f %M "${routino_text[@]}" --lat1="$a" --lon1="$b" --lat2="$c" --lon2="$d" >/dev/null; } 2>&1 | tail -1)
  [ "$kb" -gt "$rss_routino" ] && rss_routino=$kb
done <"$work/twenty.csv"
python3 - "$work" <<'EOF'
import json, statistics, sys
work = sys.argv[1]
labels = ["osm2trassel-cli route", "routino-router (text to stdout)", "routino-router --output-none"]
medians = [[], [], []]
for i in range(1, 21):
    r = json.load(open("%s/route%d.json" % (work, i)))["results"]
    for k in range(3):
        medians[k].append(statistics.median(r[k]["times"]) * 1000)
print("%-34s %12s %12s %12s" % ("tool", "median ms", "fastest ms", "slowest ms"))
for k in range(3):
    m = medians[k]
    print("%-34s %12.2f %12.2f %12.2f" % (labels[k], statistics.median(m), min(m), max(m)))
ours = statistics.median(medians[0])
print("osm2trassel-cli / routino-router: %.2fx (text), %.2fx (--output-none) the time"
      % (ours / statistics.median(medians[1]), ours / statistics.median(medians[2])))
EOF

# (b) 1,000 pairs.
echo
echo "(b) 1,000 pairs"
best=""
for _ in 1 2 3; do
  s=$(date +%s.%N)
  "$cli" route --pairs "$work/good.csv" "$net" >"$work/pairs.csv"
  e=$(date +%s.%N)
  t=$(awk "BEGIN{print $e - $s}")
  if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
done
s=$(date +%s.%N)
while IFS=, read -r a b c d; do
  "${routino_none[@]}" --lat1="$a" --lon1="$b" --lat2="$c" --lon2="$d" >/dev/null
done <"$work/good.csv"
e=$(date +%s.%N)
t_routino=$(awk "BEGIN{print $e - $s}")
awk -v a="$best" -v b="$t_routino" 'BEGIN {
  printf "%-44s %9s %12s\n", "", "wall s", "routes/s"
  printf "%-44s %9.2f %12.0f\n", "osm2trassel-cli route --pairs (best of 3)", a, 1000 / a
  printf "%-44s %9.2f %12.0f\n", "routino-router --output-none, once per pair", b, 1000 / b
  printf "osm2trassel-cli: %.1fx the routes per second\n", b / a }'

# (c) peak memory.
echo
echo "(c) peak RSS of one route (largest of the 20)"
files=0
for f in coord.bin link.bin length.bin node.bin coord3.bin coord3i.bin spatialindex.bin attribute.bin \
         roadname01.bin roadnumber01.bin roadname02.bin roadnumber02.bin linvoro_config.ini network_report.txt; do
  files=$((files + $(stat -c %s "$net/$f")))
done
printf '%-44s %9.1f MB\n' "osm2trassel-cli route" "$(awk "BEGIN{print $rss_ours / 1024}")"
printf '%-44s %9.1f MB\n' "routino-router (text to stdout)" "$(awk "BEGIN{print $rss_routino / 1024}")"
printf '%-44s %9.1f MB\n' "the network's files" "$(awk "BEGIN{print $files / 1048576}")"

#!/usr/bin/env bash
# osm2trassel-cli route and serve beside routino (the Debian package routino)
# on the same data, andorra tiled 40 times as PBF:
#   osm2trassel   the network of a run with --network (car), then
#                 osm2trassel-cli route [--fastest], route --pairs, serve
#   routino       planetsplitter on the same PBF, then
#                 routino-router --shortest|--quickest --profile=motorcar
# (a) one route per process, opening the network included, shortest and
#     fastest (routino: --quickest): 20 routes, each timed by hyperfine with
#     both tools in one run; the median over the 20 routes of each command's
#     median wall time. routino-router is timed twice per mode: writing its
#     text route to stdout, and with --output-none (its least work);
# (b) 1,000 pairs, shortest and fastest: osm2trassel-cli route --pairs (one
#     process, median of 3) against one routino-router --output-none process
#     per pair, in routes per second;
# (c) the service: osm2trassel-cli serve on loopback (its default --threads)
#     loaded by wrk with 1, 8 and 64 clients for SECONDS each and mode, every
#     request a pair drawn at random from the 1,000 (bench/route_wrk.lua):
#     routes per second and the 50th/99th percentile latency, against the
#     routes per second of one routino-router process per route from (b).
#     Every answer must be 200 with a route or 404 "no route", and no
#     request may be lost (a socket error or a timeout), else the run fails;
# (d) the peak RSS of one route (the largest over the 20) and of the
#     service after its loads, against the size of the network's files.
# The pairs are random pairs of road nodes 1 to 8 km apart, moved by up to
# 20 m, for which both tools find a route in both modes. Routino applies its
# own access, preference, speed and turn rules, so the routes differ by
# design: only speed and memory are compared. wrk runs on the same cores as
# the service, as a client on the same computer would.
#
# Usage: bench/route_peers.sh [BUILD_DIR] [RUNS] [SECONDS]
#   BUILD_DIR  build tree with bin/osm2trassel-cli and bin/osm2trassel-serve
#              (default: build)
#   RUNS       hyperfine runs per route and command (default 10)
#   SECONDS    length of each load on the service (default 10)
# Input: /tmp/andorra40.osm.pbf, made when missing with
#   python3 /work/shared/tools/tile_osm.py /work/shared/data/osm/andorra.osm.gz 40 /tmp/andorra40.osm
#   osmium cat -o /tmp/andorra40.osm.pbf /tmp/andorra40.osm
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-10}
seconds=${3:-10}
cli="$(pwd)/$build/bin/osm2trassel-cli"
shared=../shared
osm=/tmp/andorra40.osm
pbf=/tmp/andorra40.osm.pbf
routino_share=/usr/share/routino
[ -x "$cli" ] || { echo "missing $cli (build first)" >&2; exit 1; }
[ -x "$(pwd)/$build/bin/osm2trassel-serve" ] || { echo "missing $build/bin/osm2trassel-serve (build first)" >&2; exit 1; }
for tool in planetsplitter routino-router hyperfine osmium python3 wrk curl; do
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
server=""
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
net="$work/net"
db="$work/routino"
mkdir -p "$db"

"$cli" -q --network -o "$net" "$pbf"
planetsplitter --dir="$db" --tagging="$routino_share/tagging.xml" --loggable "$pbf" >"$work/planetsplitter.log" 2>&1

routino_args=(--dir="$db" --profiles="$routino_share/profiles.xml" --profile=motorcar)
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

# Pairs both tools find a route for, in both modes.
"$cli" route --pairs "$work/candidates.csv" "$net" >"$work/ours.csv" 2>/dev/null || true
"$cli" route --fastest --pairs "$work/candidates.csv" "$net" >"$work/ours_fast.csv" 2>/dev/null || true
: >"$work/good.csv"
count=0
while IFS=, read -r a b c d len _ && IFS=, read -r _ _ _ _ len_fast _ <&3; do
  [ "$a" = from_lat ] && continue
  [ -n "$len" ] && [ -n "$len_fast" ] || continue
  if "${routino_none[@]}" --shortest --lat1="$a" --lon1="$b" --lat2="$c" --lon2="$d" >/dev/null 2>&1 &&
     "${routino_none[@]}" --quickest --lat1="$a" --lon1="$b" --lat2="$c" --lon2="$d" >/dev/null 2>&1; then
    echo "$a,$b,$c,$d" >>"$work/good.csv"
    count=$((count + 1))
    [ "$count" -ge 1000 ] && break
  fi
done <"$work/ours.csv" 3<"$work/ours_fast.csv"
[ "$count" -ge 1000 ] || { echo "only $count pairs with a route in both tools" >&2; exit 1; }

cat "$pbf" "$net"/*.bin "$db"/* >/dev/null  # everything starts from the page cache

# (a) and (d): 20 routes, one process each, in both modes.
echo "(a) one route per process, opening the network included; hyperfine, $runs runs per route and command"
head -20 "$work/good.csv" >"$work/twenty.csv"
i=0
rss_ours=0
rss_routino=0
while IFS=, read -r a b c d; do
  i=$((i + 1))
  at="--lat1=$a --lon1=$b --lat2=$c --lon2=$d"
  hyperfine -N --warmup 2 --runs "$runs" --export-json "$work/route$i.json" \
    "$cli route $net $a,$b $c,$d" \
    "${routino_text[*]} --shortest $at" \
    "${routino_none[*]} --shortest $at" \
    "$cli route --fastest $net $a,$b $c,$d" \
    "${routino_text[*]} --quickest $at" \
    "${routino_none[*]} --quickest $at" >/dev/null 2>&1
  for mode in "" --fastest; do
    kb=$( { /usr/bin/time -f %M "$cli" route $mode "$net" "$a,$b" "$c,$d" >/dev/null; } 2>&1 | tail -1)
    [ "$kb" -gt "$rss_ours" ] && rss_ours=$kb
  done
  for mode in --shortest --quickest; do
    kb=$( { /usr/bin/time -f %M "${routino_text[@]}" $mode $at >/dev/null; } 2>&1 | tail -1)
    [ "$kb" -gt "$rss_routino" ] && rss_routino=$kb
  done
done <"$work/twenty.csv"
python3 - "$work" <<'EOF'
import json, statistics, sys
work = sys.argv[1]
labels = ["osm2trassel-cli route", "routino-router --shortest (text to stdout)",
          "routino-router --shortest --output-none", "osm2trassel-cli route --fastest",
          "routino-router --quickest (text to stdout)", "routino-router --quickest --output-none"]
medians = [[] for _ in labels]
for i in range(1, 21):
    r = json.load(open("%s/route%d.json" % (work, i)))["results"]
    for k in range(len(labels)):
        medians[k].append(statistics.median(r[k]["times"]) * 1000)
print("%-44s %10s %10s %10s" % ("command", "median ms", "fastest ms", "slowest ms"))
for k in range(len(labels)):
    m = medians[k]
    print("%-44s %10.2f %10.2f %10.2f" % (labels[k], statistics.median(m), min(m), max(m)))
med = [statistics.median(m) for m in medians]
print("osm2trassel-cli / routino-router, shortest: %.2fx (text), %.2fx (--output-none) the time" % (med[0] / med[1], med[0] / med[2]))
print("osm2trassel-cli --fastest / routino-router --quickest: %.2fx (text), %.2fx (--output-none) the time" % (med[3] / med[4], med[3] / med[5]))
EOF

# (b) 1,000 pairs per mode.
echo
echo "(b) 1,000 pairs"
now() { date +%s.%N; }
declare -A routino_rate
printf '%-56s %9s %12s\n' "" "wall s" "routes/s"
for mode in shortest fastest; do
  ours_flag=""; routino_flag=--shortest
  [ "$mode" = fastest ] && { ours_flag=--fastest; routino_flag=--quickest; }
  times=()
  for _ in 1 2 3; do
    s=$(now)
    "$cli" route $ours_flag --pairs "$work/good.csv" "$net" >"$work/pairs.csv" 2>"$work/pairs.log" || {
      echo "route --pairs $ours_flag failed:" >&2; cat "$work/pairs.log" >&2; exit 1; }
    e=$(now)
    times+=("$(awk "BEGIN{print $e - $s}")")
  done
  routed=$(awk -F, 'NR > 1 && $5 != ""' "$work/pairs.csv" | wc -l)
  [ "$routed" -eq 1000 ] || { echo "route --pairs $ours_flag routed $routed of the 1,000 pairs" >&2; exit 1; }
  t_ours=$(printf '%s\n' "${times[@]}" | sort -g | sed -n 2p)
  s=$(now)
  while IFS=, read -r a b c d; do
    "${routino_none[@]}" $routino_flag --lat1="$a" --lon1="$b" --lat2="$c" --lon2="$d" >/dev/null
  done <"$work/good.csv"
  e=$(now)
  t_routino=$(awk "BEGIN{print $e - $s}")
  routino_rate[$mode]=$(awk "BEGIN{print 1000 / $t_routino}")
  awk -v a="$t_ours" -v b="$t_routino" -v m="$mode" -v of="$ours_flag" -v rf="$routino_flag" 'BEGIN {
    printf "%-56s %9.2f %12.0f\n", "osm2trassel-cli route " of (of == "" ? "" : " ") "--pairs (median of 3)", a, 1000 / a
    printf "%-56s %9.2f %12.0f\n", "routino-router " rf " --output-none, once per pair", b, 1000 / b
    printf "%s: osm2trassel-cli %.1fx the routes per second\n", m, b / a }'
done

# (c) the service.
echo
echo "(c) osm2trassel-cli serve on loopback, wrk for ${seconds} s per load, random pairs of the 1,000"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$cli" serve --port "$port" "$net" >"$work/serve.log" 2>&1 &
server=$!
for _ in $(seq 100); do
  curl -sf "http://127.0.0.1:$port/health" >/dev/null && break
  kill -0 "$server" 2>/dev/null || { echo "serve ended:" >&2; cat "$work/serve.log" >&2; exit 1; }
  sleep 0.1
done
curl -sf "http://127.0.0.1:$port/health" >/dev/null || { echo "serve does not answer on port $port" >&2; exit 1; }
printf '%-9s %8s %10s %9s %9s %10s %9s %14s\n' mode clients routes/s "p50 ms" "p99 ms" answered "no route" "x routino-router"
for mode in shortest fastest; do
  for clients in 1 8 64; do
    threads=$((clients < 2 ? clients : 2))
    timeout $((seconds + 60)) wrk -t "$threads" -c "$clients" -d "${seconds}s" --timeout 10s \
      -s bench/route_wrk.lua "http://127.0.0.1:$port" -- "$work/good.csv" "$mode" >"$work/wrk.log" 2>&1 || {
      echo "wrk failed:" >&2; cat "$work/wrk.log" >&2; exit 1; }
    read -r _ requests secs ok noroute bad lost p50 p99 < <(grep '^RESULT ' "$work/wrk.log") || {
      echo "wrk gave no result:" >&2; cat "$work/wrk.log" >&2; exit 1; }
    if [ "$bad" -ne 0 ] || [ "$lost" -ne 0 ] || [ $((ok + noroute)) -ne "$requests" ] || [ "$requests" -eq 0 ]; then
      echo "$mode, $clients clients: $requests requests, $ok routes, $noroute no route, $bad bad answers, $lost lost" >&2
      cat "$work/wrk.log" >&2
      exit 1
    fi
    awk -v m="$mode" -v c="$clients" -v n="$requests" -v s="$secs" -v p50="$p50" -v p99="$p99" -v nr="$noroute" \
        -v r="${routino_rate[$mode]}" 'BEGIN {
      printf "%-9s %8d %10.0f %9.2f %9.2f %10d %9d %13.1fx\n", m, c, n / s, p50, p99, n, nr, n / s / r }'
  done
done
kb_server=$(awk '/^VmHWM:/ {print $2}' "/proc/$server/status")
kill "$server"
wait "$server" || true
server=""

# (d) peak memory.
echo
echo "(d) peak RSS"
files=0
for f in coord.bin link.bin length.bin node.bin coord3.bin coord3i.bin spatialindex.bin attribute.bin \
         roadname01.bin roadnumber01.bin roadname02.bin roadnumber02.bin linvoro_config.ini network_report.txt; do
  files=$((files + $(stat -c %s "$net/$f")))
done
printf '%-56s %9.1f MB\n' "osm2trassel-cli route (largest of the 20, both modes)" "$(awk "BEGIN{print $rss_ours / 1024}")"
printf '%-56s %9.1f MB\n' "routino-router (text to stdout, both modes)" "$(awk "BEGIN{print $rss_routino / 1024}")"
printf '%-56s %9.1f MB\n' "osm2trassel-serve after its loads" "$(awk "BEGIN{print $kb_server / 1024}")"
printf '%-56s %9.1f MB\n' "the network's files" "$(awk "BEGIN{print $files / 1048576}")"

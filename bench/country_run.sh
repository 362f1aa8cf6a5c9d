#!/usr/bin/env bash
# A country-sized run: andorra tiled COPIES times on a grid as one PBF (made
# with ../shared/tools/tile_pbf.cpp, built here once), converted with the
# network and every check (--network --subnets --topo --overpasses, shapefile
# tables, the report) by this build's tool and by another build's, in turn.
# Per run: wall time, user + system CPU, the cores used on average (CPU over
# wall), peak RSS (/usr/bin/time -v), and the wall and CPU seconds of each
# stage, taken from when the log's lines arrive.
#
# Usage: bench/country_run.sh [BUILD_DIR] [OTHER_CLI] [COPIES] [RUNS]
#   OTHER_CLI: another build's osm2trassel-cli ("" or - for none)
#   COPIES: 400 by default (160 MB of PBF); 4000 is some 1.6 GB and 277
#   million nodes, and needs about 2 minutes to tile and 3 to 4 per run.
# The PBF stays in /tmp/andorra_tiled_COPIES.osm.pbf for later runs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
other=${2:-}
copies=${3:-400}
runs=${4:-1}
cli="$build/bin/osm2trassel-cli"
shared=../shared
[ -x "$cli" ] || { echo "missing $cli (build first)" >&2; exit 1; }
[ "$other" = - ] && other=""
[ -z "$other" ] || [ -x "$other" ] || { echo "missing $other" >&2; exit 1; }
work=$(mktemp -d /tmp/country_run.XXXXXX)
trap 'rm -rf "$work"' EXIT

pbf=/tmp/andorra_tiled_$copies.osm.pbf
if [ ! -f "$pbf" ]; then
  tiler=/tmp/tile_pbf_bench
  if [ ! -x "$tiler" ]; then
    echo "building $tiler ..." >&2
    g++ -O2 -std=c++17 "$shared/tools/tile_pbf.cpp" -o "$tiler" -lz -lbz2 -lexpat -llz4 -pthread
  fi
  echo "making $pbf ..." >&2
  # The tiler tells the output's form by its name.
  part=${pbf%.osm.pbf}.part.osm.pbf
  "$tiler" "$shared/data/osm/andorra.osm.gz" "$copies" "$part" >&2
  mv "$part" "$pbf"
fi
cat "$pbf" >/dev/null  # every run starts with the file in the page cache

# Runs the tool and prefixes every line of its log with the seconds since
# the start and the CPU seconds (user + system, every thread) the tool had
# used when the line arrived: python3 -c "$stamper" TOOL ARGS...
stamper='
import os, subprocess, sys, time
t0 = time.monotonic()
p = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE, text=True)
tick = os.sysconf("SC_CLK_TCK")
def cpu():
    try:
        f = open("/proc/%d/stat" % p.pid).read().rsplit(")", 1)[1].split()
        return (int(f[11]) + int(f[12])) / tick
    except (OSError, IndexError, ValueError):
        return float("nan")
for line in p.stdout:
    print("%.2f %.2f %s" % (time.monotonic() - t0, cpu(), line.rstrip("\n")), flush=True)
sys.exit(p.wait())'

# The stages from the stamped log: passes, import, attribute import, opening
# the network, the checks, writing the tables list and the report; each as
# wall seconds / CPU seconds.
stages() {
  awk '
    function mark(name) { if (!(name in at)) { at[name] = $1; cpu[name] = $2; order[++n] = name } }
    /Output folder:/ { mark("start") }
    /Reading node coordinates/ { mark("pass2") }
    /Writing output/ { mark("pass3") }
    /Importing Linvoro 4 network$/ { mark("import") }
    /Importing Linvoro 4 network - attributes/ { mark("attributes") }
    /Opening network/ { mark("open") }
    /Checking for extended subnets|Locating simple subnets|Identifying parallel links/ { mark("checks") }
    / Table roads / { mark("report") }
    /Report: / { mark("end") }
    END {
      label["start"] = "pass 1"; label["pass2"] = "pass 2"; label["pass3"] = "pass 3";
      label["import"] = "network import"; label["attributes"] = "attributes";
      label["open"] = "open"; label["checks"] = "checks"; label["report"] = "tables list + report";
      s = ""
      for (i = 1; i < n; ++i)
        s = s sprintf("%s %.1f/%.1f  ", label[order[i]], at[order[i + 1]] - at[order[i]], cpu[order[i + 1]] - cpu[order[i]])
      print s
    }'
}

printf '%s (%s MB, %s copies of andorra), %s run(s) each, on a shared machine of %s cores\n' \
  "$pbf" "$(( $(stat -c %s "$pbf") / 1048576 ))" "$copies" "$runs" "$(nproc)"
printf '%-10s %7s %7s %7s %6s %8s\n' build "wall s" "user s" "sys s" cores "RSS MB"
for r in $(seq "$runs"); do
  for which in this other; do
    tool=$cli
    if [ "$which" = other ]; then [ -n "$other" ] || continue; tool=$other; fi
    rm -rf "$work/out" && mkdir -p "$work/out"
    /usr/bin/time -v -o "$work/time.log" python3 -c "$stamper" "$tool" --network --subnets --topo --overpasses -o "$work/out" "$pbf" \
      2>"$work/stderr.log" >"$work/log.txt" || { echo "run $r of $which failed" >&2; cat "$work/stderr.log" >&2; exit 1; }
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; print s}' "$work/time.log")
    user=$(awk -F': ' '/User time/ {print $2}' "$work/time.log")
    sys=$(awk -F': ' '/System time/ {print $2}' "$work/time.log")
    kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.log")
    printf '%-10s %7s %7s %7s %6.2f %8d\n' "$which" "$wall" "$user" "$sys" "$(awk "BEGIN{print ($user + $sys) / $wall}")" \
      "$((kb / 1024))"
    printf '           %s\n' "$(stages <"$work/log.txt")"
  done
done

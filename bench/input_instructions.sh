#!/usr/bin/env bash
# The input paths of two builds by instructions executed rather than by
# time: on a busy machine the count of `valgrind --tool=callgrind` stays
# within a few thousandths from run to run where wall times vary by tens of
# percent. One conversion (car, SHP, no report page) of andorra in each form:
#   line reader   XML as osmium writes it
#   parser path   the same data in JOSM's layout (single quotes)
#   PBF reader    osmium cat
#   O5M reader    osmconvert
# and, for this build only, the ways-first XML (as an Overpass download lays
# it out) against the sorted XML.
#
# Usage: bench/input_instructions.sh [BUILD_DIR] OTHER_CLI
#   OTHER_CLI  an earlier commit's tool: `git worktree add /tmp/before
#              <commit>` and `bash scripts/build.sh` there. Copy the
#              include.txt of its build beside it if it lacks one, or it
#              selects other ways than this build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
other=${2:?usage: bench/input_instructions.sh [BUILD_DIR] OTHER_CLI}
cli="$(pwd)/$build/bin/osm2trassel-cli"
[ -x "$cli" ] || { echo "missing $cli (build first)" >&2; exit 1; }
[ -x "$other" ] || { echo "missing $other" >&2; exit 1; }
for tool in valgrind osmium osmconvert python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool (bash scripts/setup.sh)" >&2; exit 1; }
done
work=$(mktemp -d /tmp/input_instructions.XXXXXX)
trap 'rm -rf "$work"' EXIT

xml=$work/andorra.osm
zcat ../shared/data/osm/andorra.osm.gz >"$xml"
python3 - "$xml" "$work/andorra-josm.osm" "$work/andorra-waysfirst.osm" <<'PY'
import re, sys
src = open(sys.argv[1], 'rb').read()
open(sys.argv[2], 'wb').write(
    re.sub(rb'="([^"]*)"', lambda m: b"='" + m.group(1).replace(b"'", b"&apos;") + b"'", src))
head, nodes, ways, tail = [], [], [], []
cur = head
for line in src.splitlines(keepends=True):
    t = line.lstrip()
    if t.startswith(b'<node'): cur = nodes
    elif t.startswith(b'<way') or t.startswith(b'<relation'): cur = ways
    elif t.startswith(b'</osm'): cur = tail
    cur.append(line)
open(sys.argv[3], 'wb').write(b''.join(head + ways + nodes + tail))
PY
osmium cat -o "$work/andorra.osm.pbf" "$xml"
osmconvert "$xml" -o="$work/andorra.o5m"

no_report() { if "$1" --help 2>&1 | grep -q -- --no-report; then echo --no-report; fi; }
# Instructions of one conversion.
count() {
  local tool=$1 input=$2
  local -a x
  read -r -a x <<<"$(no_report "$tool")"
  rm -rf "$work/out"
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$tool" "${x[@]}" -q -O --modes car --format shp \
    -o "$work/out" "$input" 2>&1 | awk '/Collected :/ { print $NF }'
}

printf '%-14s %16s %16s %8s\n' path "other (instr.)" "this (instr.)" change
for form in "line reader|andorra.osm" "parser path|andorra-josm.osm" "PBF reader|andorra.osm.pbf" \
            "O5M reader|andorra.o5m"; do
  IFS='|' read -r name file <<<"$form"
  a=$(count "$other" "$work/$file")
  b=$(count "$cli" "$work/$file")
  awk -v n="$name" -v a="$a" -v b="$b" 'BEGIN { printf "%-14s %16.0f %16.0f %+7.1f%%\n", n, a, b, (b - a) * 100 / a }'
done
a=$(count "$cli" "$xml")
b=$(count "$cli" "$work/andorra-waysfirst.osm")
awk -v a="$a" -v b="$b" 'BEGIN { printf "ways-first XML against sorted XML, this build: %.2fx the instructions\n", b / a }'

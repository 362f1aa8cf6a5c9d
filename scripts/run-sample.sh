#!/usr/bin/env bash
# Installs what is missing, builds, and converts the bundled sample extracts
# (data/sample, (c) OpenStreetMap contributors, ODbL 1.0): the town of Monaco
# as OSM PBF into out/sample/ with the routing network and every check, and
# the few blocks of West Oakland as OSM XML into out/sample-xml/; then one
# route on the Monaco network, written to out/sample-route.geojson. The last
# line names the first run's report page.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
out=out/sample
mkdir -p "$out" out/sample-xml
# --overwrite: a second run replaces the first one's results.
build/bin/osm2trassel-cli --overwrite --output "$out" --network --subnets --topo --overpasses \
  data/sample/monaco.osm.pbf
build/bin/osm2trassel-cli --overwrite --quiet --output out/sample-xml data/sample/west-oakland.osm
echo
echo "Output in $(pwd)/$out:"
ls -l "$out"
echo
echo "A route on the sample network, from the Casino square to the Stade Louis II:"
build/bin/osm2trassel-cli route "$out" 43.7393,7.4277 43.7283,7.4150 --output out/sample-route.geojson
# The run's report: open it in a web browser (it needs no network).
echo "Report: $(pwd)/$out/report.html"

#!/usr/bin/env bash
# Installs what is missing, builds, and converts the bundled sample extract
# (data/sample, (c) OpenStreetMap contributors, ODbL 1.0) into out/sample/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
out=out/sample
mkdir -p "$out"
# --overwrite: a second run replaces the first one's results.
build/bin/osm2trassel-cli --overwrite --output "$out" --network --subnets --topo --overpasses \
  data/sample/west-oakland.osm
echo
echo "Output in $(pwd)/$out:"
ls -l "$out"

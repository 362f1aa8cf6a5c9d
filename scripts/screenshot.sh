#!/usr/bin/env bash
# Renders the main window after a run of the bundled sample into
# docs/main-window.png (100 %) and docs/main-window@2x.png (200 %), and the
# question Go asks when the output folder holds that run's results into
# docs/output-folder-question.png, on a virtual X server so that no desktop
# is needed; and the report page of a run of the PBF sample with every check
# into docs/report.png (1400x900) and docs/report-phone.png (a phone,
# 390x844), in headless Chromium.
# Usage: scripts/screenshot.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -x "$build/bin/osm2trassel" ] || [ ! -x "$build/bin/osm2trassel-cli" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target osm2trassel osm2trassel-cli -j"$(nproc)"
fi
bin=$(realpath "$build/bin/osm2trassel")

# A fixed, short folder, so that the picture shows tidy paths.
work=/tmp/osm2trassel-sample
rm -rf "$work"
mkdir -p "$work/config/osm2trassel" "$work/output" docs
trap 'rm -rf "$work"' EXIT
cp data/sample/west-oakland.osm "$work/"
# Options worth showing: two modes, two optional fields, the network with
# its checks.
cat >"$work/config/osm2trassel/osm2trassel.ini" <<'INI'
[main]
outputformat=1
bicycle=1
car=1
lanes=1
maxspeed=1
buildnetwork=1
subnets=1
topochecks=1
simplify=3
INI

export XDG_CONFIG_HOME="$work/config"
export QT_QPA_PLATFORMTHEME=
for scale in 1 2; do
  out=docs/main-window.png
  [ "$scale" = 2 ] && out=docs/main-window@2x.png
  # Each picture shows a run into an empty folder.
  rm -rf "$work/output" && mkdir -p "$work/output"
  QT_SCALE_FACTOR=$scale xvfb-run -a -s "-screen 0 2000x1600x24" \
    "$bin" --screenshot "$out" --output "$work/output" "$work/west-oakland.osm"
  echo "$out"
done
# Go again into the folder the last run wrote to.
out=docs/output-folder-question.png
xvfb-run -a -s "-screen 0 2000x1600x24" \
  "$bin" --question "$out" --output "$work/output" "$work/west-oakland.osm"
echo "$out"

"$build/bin/osm2trassel-cli" --quiet --output "$work/report" --network --subnets --topo --overpasses \
  data/sample/monaco.osm.pbf
python3 scripts/report_screenshot.py "$work/report/report.html" docs/report.png 1400 900
python3 scripts/report_screenshot.py "$work/report/report.html" docs/report-phone.png 390 844 phone

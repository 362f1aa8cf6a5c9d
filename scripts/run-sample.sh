#!/usr/bin/env bash
# Installs what is missing, builds, and converts the bundled sample extract.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
build/bin/osm2trassel-cli --version

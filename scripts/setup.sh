#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent and non-interactive; returns at once when everything is present.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git python3
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libicu-dev
  libosmium2-dev libprotozero-dev zlib1g-dev libbz2-dev liblz4-dev libdeflate-dev libexpat1-dev
  libcpp-httplib-dev
  libgdal-dev gdal-bin
  qt6-base-dev qt6-base-dev-tools libgl-dev
  clang libclang-rt-14-dev lld
  xvfb xauth
  chromium chromium-driver
  osmium-tool osmctools time hyperfine bzip2
  routino wrk
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

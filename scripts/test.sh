#!/usr/bin/env bash
# Installs what is missing, builds, and runs the test suite twice: an
# optimised build, then an AddressSanitizer + UndefinedBehaviorSanitizer one.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each stage's time goes to the log: the whole run has a time budget.
stage() { echo "== $1 (at ${SECONDS}s)"; }
stage setup
bash scripts/setup.sh
export QT_QPA_PLATFORM=offscreen

stage build
bash scripts/build.sh build
stage tests
ctest --test-dir build --output-on-failure -j"$(nproc)"

# One clang tree for the sanitizers and the fuzz targets: the tests run in it
# under AddressSanitizer + UBSan, and the fuzz targets link the same
# libraries, so the code is compiled twice in all rather than three times.
# -O1 with line tables only: the sanitizers keep readable stack traces and
# the build compiles much faster than at -O2 with full debug information.
stage "sanitizer build"
CC=clang CXX=clang++ bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" \
  -DOSM2TRASSEL_SANITIZE=ON -DOSM2TRASSEL_FUZZ=ON -DOSM2TRASSEL_BENCH=OFF -DOSM2TRASSEL_GUI=OFF
# intercept_tls_get_addr=0: this toolchain's LeakSanitizer misreads glibc's
# table of dynamic TLS blocks once a library with TLS has been loaded at run
# time (the TAB library), and its tracer then crashes in the exit of a test
# that passed ("Tracer caught signal 11"), depending on the memory layout.
# Stacks, static TLS and globals remain the roots of the leak check.
stage "sanitizer tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:intercept_tls_get_addr=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$(nproc)"

# The fuzz targets over their seed corpora plus a short fuzzing run.
stage fuzz
FUZZ_BUILD_DIR=build-asan bash scripts/fuzz.sh regress
stage done

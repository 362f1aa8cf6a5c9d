#!/usr/bin/env bash
# Builds the tests of the network stage and of the GeoPackage writer in a
# clang ThreadSanitizer tree (build-tsan/, or DIR) and runs the ones that
# use several threads: the checks' tables as from one thread, a stop while
# they run, the attribute import beside the network import and the spatial
# index on two threads, tables written through the GeoPackage's writing
# thread (and a stop while they run), files whose bytes reach the disk on
# a thread of their own, and the service's networks sharing their blocks.
# Usage: scripts/tsan.sh [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-tsan}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# -O1 with line tables: readable reports at a bearable speed.
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug "${launcher[@]}" \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1 -fsanitize=thread" -DCMAKE_C_FLAGS_DEBUG="-O1 -g1 -fsanitize=thread" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" \
  -DOSM2TRASSEL_STATIC_CLI=OFF -DOSM2TRASSEL_BENCH=OFF -DOSM2TRASSEL_GUI=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target test_network_stage test_giswriter_gpkg test_gpkg_output test_io test_quadtree test_lazynetwork
# halt_on_error: a race fails the run instead of scrolling past.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp ${TSAN_OPTIONS:-}" \
  "$dir/bin/test_network_stage" \
    --gtest_filter='NetworkStage.ChecksOnSeveralThreads*:NetworkStage.AttributePieces*:NetworkStage.StopWhileTheAttributePiecesRun:NetworkStage.FailedStageLeavesNoReport'
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp ${TSAN_OPTIONS:-}" \
  "$dir/bin/test_giswriter_gpkg"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp ${TSAN_OPTIONS:-}" \
  "$dir/bin/test_io" --gtest_filter='IoTest.BufferedStreamMatchesAByteModel:IoTest.WriteBehind*'
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp ${TSAN_OPTIONS:-}" \
  "$dir/bin/test_quadtree" --gtest_filter='QuadTreeTest.TwoThreadsWriteTheFileOfOne'
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp ${TSAN_OPTIONS:-}" \
  "$dir/bin/test_gpkg_output" --gtest_filter='GpkgOutput.StoppedRunLeavesWholeLayersWithoutAPartialIndex'
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp ${TSAN_OPTIONS:-}" \
  "$dir/bin/test_lazynetwork" --gtest_filter='SharedData/LazyNetworks.NetworksSharingBlocksAnswerAsOnesOfTheirOwn/monaco'

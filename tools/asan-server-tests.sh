#!/usr/bin/env bash
# Builds the network layer, the WebSocket server and their tests with AddressSanitizer (and
# UBSan) in build/asan and runs the unit tests of both layers and the WebSocket end-to-end
# tests against that build. Leaks and memory faults fail the run.
set -euo pipefail
cd "$(dirname "$0")/.."
flags="-fsanitize=address,undefined -fno-omit-frame-pointer"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build build/asan -j"$(nproc)" --target unit_net unit_ws ws-fixture
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
cd build/asan
status=0
tests/unit/unit_net || status=1
tests/unit/unit_ws || status=1
ctest --output-on-failure --timeout 600 -R '^e2e_(test_)?ws_' || status=1
exit $status

#!/usr/bin/env bash
# Sanitizer builds of the tree and their test runs:
#   asan  AddressSanitizer + UndefinedBehaviorSanitizer, every unit test (build/h-asan)
#   tsan  ThreadSanitizer, the threaded unit tests: server, broadcast, Socket.IO, the PC/SC
#         manager with the fake library, the main-thread loop (build/h-tsan); libstdc++'s
#         timed mutexes need tools/tsan-clocklock.c there
# Usage: tools/sanitize.sh [asan|tsan|all]   (default: all). Any sanitizer report fails.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
jobs=${SANITIZE_JOBS:-2}
status=0

configure_and_build() {  # dir flags exe-link-extra targets...
  local dir=$1 flags=$2 extra=$3
  shift 3
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags $extra" -DCMAKE_SHARED_LINKER_FLAGS="$flags" >/dev/null
  cmake --build "$dir" -j"$jobs" --target "$@"
}

if [[ $what == asan || $what == all ]]; then
  # (GCC warns falsely about std::regex under the sanitizers.)
  flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
  flags+=" -Wno-maybe-uninitialized"
  configure_and_build build/h-asan "$flags" "" unit_base unit_pcsc unit_net unit_json unit_ws \
    unit_app fakepcsc ws-fixture
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd build/h-asan && ctest -L unit --output-on-failure --timeout 600 -j"$jobs") || status=1
  # The real WebSocket clients against the server built with the sanitizers.
  (cd build/h-asan && ctest -R '^e2e_(test_)?ws_' --output-on-failure --timeout 600) || status=1
fi

if [[ $what == tsan || $what == all ]]; then
  flags="-fsanitize=thread -fno-omit-frame-pointer"
  mkdir -p build/h-tsan
  cc -O1 -c tools/tsan-clocklock.c -o build/h-tsan/tsan-clocklock.o
  configure_and_build build/h-tsan "$flags" "$PWD/build/h-tsan/tsan-clocklock.o" unit_base unit_pcsc unit_net unit_ws \
    fakepcsc
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  # The layers with threads of their own. (The service's tests above them are timed for
  # ordinary speed; they run under the address sanitizer.)
  (cd build/h-tsan && ctest -L '^unit-(base|pcsc|net|ws)$' --output-on-failure --timeout 600 \
    -j"$jobs") || status=1
fi
exit $status

#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
step() { echo "== test-all: $* (at ${SECONDS}s)"; }
step install; bash tools/install-deps.sh
step build; bash tools/build.sh all
status=0
step "linux tests"; (cd build/linux && ctest --output-on-failure --timeout 600 -j2) || status=1
step fuzz; FUZZ_JOBS=${FUZZ_JOBS:-2} bash tools/fuzz.sh || status=1
step sanitizers; bash tools/sanitize.sh || status=1
for arch in i686 x86_64; do
  if [ -f build/mingw-$arch/CTestTestfile.cmake ] && [ -x tools/wine-ctest.sh ]; then
    step "windows tests ($arch, under Wine)"; bash tools/wine-ctest.sh build/mingw-$arch || status=1
  fi
done
step "done, status $status"
exit $status

#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh all
status=0
(cd build/linux && ctest --output-on-failure --timeout 600 -j2) || status=1
bash tools/fuzz.sh || status=1
bash tools/sanitize.sh || status=1
bash tools/asan-server-tests.sh || status=1
for arch in i686 x86_64; do
  if [ -f build/mingw-$arch/CTestTestfile.cmake ] && [ -x tools/wine-ctest.sh ]; then
    bash tools/wine-ctest.sh build/mingw-$arch || status=1
  fi
done
exit $status

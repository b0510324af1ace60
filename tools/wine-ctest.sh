#!/usr/bin/env bash
# Runs the tests of a Windows cross build under Wine.
#   tools/wine-ctest.sh BUILD_DIR [extra ctest arguments]
# Unit tests run with one persistent wineserver on a private prefix (a fresh wine process per
# test then starts in a fraction of a second); the Windows end-to-end tests (e2e_test_win_*)
# run afterwards, each with a wineserver of its own inside its network namespace, because
# Wine creates sockets in the wineserver process.
#
# Environment:
#   WINE_CTEST_PREFIX   the Wine prefix to use (default: BUILD_DIR/wineprefix)
#   WINE_CTEST_UNIT     regex of unit tests to run (default: all)
#   WINE_CTEST_SKIP     regex of unit tests left to the native Linux runs (default below:
#                       tests bound by socket throughput, which Wine's sockets, and qemu's
#                       emulation of wine32 even less, cannot reach); empty: run them all
#   WINE_CTEST_E2E=0    skip the Windows end-to-end tests
#   WINE_CTEST_TIMEOUT  seconds per unit test (default 180): a test hanging under Wine costs
#                       this much, not ctest's ten minutes
set -uo pipefail

build=${1:?usage: wine-ctest.sh BUILD_DIR [ctest args]}
shift
build=$(cd "$build" && pwd)
[ -f "$build/CMakeCache.txt" ] || { echo "wine-ctest: $build is not a build directory" >&2; exit 2; }
command -v wine >/dev/null || { echo "wine-ctest: wine is not installed (tools/deps/setup-wine.sh)" >&2; exit 2; }

if grep -qs 'CMAKE_SYSTEM_PROCESSOR "i686"' "$build"/CMakeFiles/*/CMakeSystem.cmake; then
  arch=i686
  export WINEARCH=win32
else
  arch=x86_64
  export WINEARCH=win64
fi
export WINEPREFIX=${WINE_CTEST_PREFIX:-$build/wineprefix}
export WINEDEBUG=-all
# No Mono or Gecko installer prompts while the prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine-ctest: creating the $WINEARCH prefix $WINEPREFIX"
  wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
fi
# Unit tests make windows but need no screen: Wine's null display driver.
if ! grep -qs '"Graphics"="null"' "$WINEPREFIX/user.reg"; then
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
  wineserver -w
fi

status=0
failed=()
run_ctest() {
  local what=$1
  shift
  (cd "$build" && ctest --output-on-failure "$@")
  local rc=$?
  if [ $rc -ne 0 ]; then
    status=1
    if [ -f "$build/Testing/Temporary/LastTestsFailed.log" ]; then
      while IFS=: read -r _ name; do failed+=("$what: $name"); done \
        <"$build/Testing/Temporary/LastTestsFailed.log"
    else
      failed+=("$what: ctest exit code $rc")
    fi
  fi
}

# The services Wine starts with the first program (services.exe, winedevice.exe ...) live as
# long as the wineserver and keep the standard handles they were given: start them here on
# /dev/null, or ctest would wait on their pipes.
wineserver -p </dev/null >/dev/null 2>&1
wineboot </dev/null >/dev/null 2>&1
unit_args=(-L unit -j2 --timeout "${WINE_CTEST_TIMEOUT:-180}")
[ -n "${WINE_CTEST_UNIT:-}" ] && unit_args+=(-R "$WINE_CTEST_UNIT")
# 32 MiB to a reader within a 300 ms write time-out: too slow through Wine's sockets (it
# passes natively and under the sanitizers).
wine_skip=${WINE_CTEST_SKIP-'^Server\.ABroadcastGoesOnPastAFailingConnection$'}
if [ -n "$wine_skip" ]; then
  echo "wine-ctest: left to the native runs: $wine_skip"
  unit_args+=(-E "$wine_skip")
fi
echo "wine-ctest: unit tests of $build ($arch)"
start=$(date +%s)
run_ctest "unit ($arch)" "${unit_args[@]}" "$@"
echo "wine-ctest: unit tests took $(($(date +%s) - start)) s"
wineserver -k
wineserver -w

if [ "${WINE_CTEST_E2E:-1}" != 0 ]; then
  echo "wine-ctest: Windows end-to-end tests of $build ($arch)"
  run_ctest "e2e ($arch)" -R '^e2e_test_win_' --timeout 600 "$@"
fi

if [ $status -ne 0 ]; then
  echo "wine-ctest: FAILED under Wine ($arch, $build):"
  printf '  %s\n' "${failed[@]}"
else
  echo "wine-ctest: all tests passed under Wine ($arch)"
fi
exit $status

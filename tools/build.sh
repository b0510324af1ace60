#!/usr/bin/env bash
# Builds the Linux tree (build/linux) and the Windows cross builds (build/mingw-i686,
# build/mingw-x86_64).  Usage: tools/build.sh [linux|windows|all]   (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
jobs=$(nproc)

if [[ $what == linux || $what == all ]]; then
  cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/linux -j"$jobs"
fi
if [[ $what == windows || $what == all ]]; then
  for arch in i686 x86_64; do
    cmake -S . -B build/mingw-$arch -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$arch.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build/mingw-$arch -j"$jobs"
  done
fi

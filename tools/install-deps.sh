#!/usr/bin/env bash
# Installs what the build and the tests need and is not on the machine yet: the Debian
# packages listed in tools/deps/apt-*.txt and the npm packages of every package.json under
# tests/ and bench/. Safe to run again; does nothing when all is there.
set -euo pipefail
cd "$(dirname "$0")/.."

want=()
for list in tools/deps/apt-*.txt; do
  [ -f "$list" ] || continue
  while read -r pkg _; do
    [[ -z "$pkg" || "$pkg" == \#* ]] && continue
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || want+=("$pkg")
  done < "$list"
done
if [ ${#want[@]} -gt 0 ]; then
  echo "install-deps: apt-get install ${want[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${want[@]}"
fi

# Extra steps some areas need (for example Wine's i386 architecture); each is idempotent.
for step in tools/deps/setup-*.sh; do
  [ -f "$step" ] && bash "$step"
done

for pkgjson in $(find tests bench -name package.json -not -path '*/node_modules/*' 2>/dev/null); do
  dir=$(dirname "$pkgjson")
  if [ ! -d "$dir/node_modules" ] || [ "$pkgjson" -nt "$dir/node_modules" ]; then
    echo "install-deps: npm ci in $dir"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error && touch node_modules)
  fi
done

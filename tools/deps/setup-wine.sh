#!/usr/bin/env bash
# Wine for the Windows builds' tests, plus what the window check needs (Xvfb, xdotool,
# ImageMagick). Safe to run again: every step checks first.
#
# This kernel cannot run 32-bit Linux programs natively, so wine32 runs its i386 binaries
# through qemu-user. Bookworm's own qemu 7.2 hangs on Wine; the backports one works. The
# backports source is derived from the machine's own Debian source (same mirror).
set -euo pipefail

export DEBIAN_FRONTEND=noninteractive
apt_updated=0
apt_update() {
  if [ $apt_updated -eq 0 ]; then
    apt-get update -q
    apt_updated=1
  fi
}
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup-wine: adding the i386 architecture"
  dpkg --add-architecture i386
  apt_updated=0
fi

# The backports suite of the mirror that serves "bookworm" here.
backports=/etc/apt/sources.list.d/card-service-backports.sources
base_sources=/etc/apt/sources.list.d/debian.sources
if [ ! -f "$backports" ] && [ -f "$base_sources" ]; then
  stanza=$(awk -v RS= '/(^|\n)Suites:[^\n]*[[:space:]]bookworm([[:space:]]|$)/ {print; exit}' "$base_sources")
  uris=$(sed -n 's/^URIs:[[:space:]]*//p' <<<"$stanza" | head -1)
  signed=$(sed -n 's/^Signed-By:[[:space:]]*//p' <<<"$stanza" | head -1)
  components=$(sed -n 's/^Components:[[:space:]]*//p' <<<"$stanza" | head -1)
  if [ -n "$uris" ]; then
    echo "setup-wine: adding bookworm-backports from $uris"
    {
      echo "Types: deb"
      echo "URIs: $uris"
      echo "Suites: bookworm-backports"
      echo "Components: ${components:-main}"
      if [ -n "$signed" ]; then echo "Signed-By: $signed"; fi
    } >"$backports"
    apt_updated=0
  fi
fi

want=()
for pkg in wine wine32:i386 wine64 fonts-wine xvfb xdotool imagemagick x11-utils; do
  installed "$pkg" || want+=("$pkg")
done
if [ ${#want[@]} -gt 0 ]; then
  echo "setup-wine: apt-get install ${want[*]}"
  apt_update
  apt-get install -y -q --no-install-recommends "${want[@]}"
fi
if ! installed qemu-user || ! dpkg-query -W -f='${Version}' qemu-user | grep -q bpo; then
  echo "setup-wine: installing qemu-user from bookworm-backports"
  apt_update
  apt-get install -y -q --no-install-recommends -t bookworm-backports qemu-user
fi

# i386 ELF through qemu when the kernel cannot run it. "F" opens the interpreter now, so the
# registration also works inside other mount namespaces.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
  if [ -e $binfmt/qemu-i386 ]; then echo -1 >$binfmt/qemu-i386; fi
  echo "setup-wine: registering qemu-i386 for i386 ELF"
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
    >$binfmt/register
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 || echo "setup-wine: warning: i386 programs still do not run" >&2
fi

#!/usr/bin/env bash
# Installs what is missing, builds the service and runs it in the foreground (Ctrl+C ends it).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh linux
# The service talks to the system's pcscd; start it when it is not running.
if ! pgrep -x pcscd >/dev/null; then
  pcscd --auto-exit 2>/dev/null || pcscd
fi
if [ -x build/linux/src/app/card-service ]; then
  exec build/linux/src/app/card-service
else
  exec build/linux/tools/pcsc-monitor/pcsc-monitor
fi

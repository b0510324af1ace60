#!/usr/bin/env bash
# Runs a command in a fresh network namespace that has only its own loopback.
set -euo pipefail
exec unshare --net -- bash -c 'ip link set lo up && exec "$@"' netns "$@"

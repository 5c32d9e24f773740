#!/usr/bin/env bash
# Runs a command in a private mount namespace in which every serial device of this machine
# (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*) is /dev/null: nothing a test, demo or benchmark
# starts can write to real hardware. Opening such a port then fails at its line settings,
# before any byte is written. Usage: scripts/isolated.sh COMMAND [ARG...]
set -euo pipefail
if [ "${KESTRELON_ISOLATED:-}" = 1 ]; then exec "$@"; fi
exec unshare -m --propagation private -- env KESTRELON_ISOLATED=1 bash -c '
  set -e
  for dev in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
    [ -e "$dev" ] && mount --bind /dev/null "$dev"
  done
  exec "$@"' isolated "$@"

#!/usr/bin/env bash
# Runs a command in a private mount namespace in which every serial device of this machine
# (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*) is /dev/null: nothing a test, demo or benchmark
# starts can write to real hardware. Opening such a port then fails at its line settings,
# before any byte is written. The namespace also has pseudo-terminals of its own (a devpts
# instance of its own): a COM link left pointing at a terminal that has gone can never lead
# to a terminal another run has since been given the same number, when runs go side by side.
# Every call makes a namespace of its own, also from inside another one (a parallel CTest run
# inside this script gives each test its own); the scripts that put themselves in one
# (KESTRELON_ISOLATED=1) use the one they are in.
# Usage: scripts/isolated.sh COMMAND [ARG...]
set -euo pipefail
exec unshare -m --propagation private -- env KESTRELON_ISOLATED=1 bash -c '
  set -e
  for dev in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
    [ -e "$dev" ] && mount --bind /dev/null "$dev"
  done
  mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts /dev/pts
  mount --bind /dev/pts/ptmx /dev/ptmx
  exec "$@"' isolated "$@"

#!/usr/bin/env bash
# Runs a Windows program under Wine on a private X server (Xvfb) and returns its exit code.
# Wine binds a prefix's desktop to the display of the first program that starts its server,
# so the server is made to end before the display goes: use a prefix that no display-less
# Wine run shares at the same time. Needs WINEPREFIX; runs inside scripts/isolated.sh.
# Usage: scripts/wine_gui.sh PROGRAM.exe [ARG...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${KESTRELON_ISOLATED:-}" != 1 ]; then exec "$here/isolated.sh" "$0" "$@"; fi
: "${WINEPREFIX:?set WINEPREFIX to a private prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
exec xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  wineserver -k 2>/dev/null || true   # a server left from another display must not serve us
  status=0
  wine "$@" || status=$?
  wineserver -w 2>/dev/null || true
  exit $status' wine_gui "$@"

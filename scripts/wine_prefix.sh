#!/usr/bin/env bash
# Creates (once) or reuses a private 32-bit Wine prefix at PATH and prints its absolute path.
# Safe to call from several tests at once: the first caller builds it, the others wait.
# Runs Wine only inside scripts/isolated.sh, so no real serial device is ever reachable.
# Usage: scripts/wine_prefix.sh PATH
set -euo pipefail
if [ $# -ne 1 ] || [ -z "$1" ]; then
  echo "usage: $0 PATH" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
if [ "${KESTRELON_ISOLATED:-}" != 1 ]; then exec "$here/isolated.sh" "$0" "$@"; fi

mkdir -p "$1"
prefix=$(cd "$1" && pwd)
case "$prefix" in
  "$HOME/.wine" | "$HOME/.wine/"*) echo "refusing to use the user's own Wine prefix" >&2; exit 2 ;;
esac
ready="$prefix/.kestrelon-prefix-ready"

export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all
# No runtime add-ons to download or install: the program needs none. No Linux menu entries
# or file associations from the prefix either (";" separates the entries).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

exec 9>"$prefix.lock"
flock -w 120 9
if [ ! -e "$ready" ]; then
  timeout 120 wineboot -i >/dev/null 2>&1
  timeout 60 wineserver -w || true
  # Only a prefix with its system folder counts as made.
  [ -d "$prefix/drive_c/windows" ] || { echo "wineboot did not make $prefix" >&2; exit 1; }
  touch "$ready"
fi
echo "$prefix"

#!/usr/bin/env bash
# Creates (once) or reuses a private 32-bit Wine prefix at PATH and prints its absolute path.
# With TEMPLATE, a new prefix is a copy of the prefix at TEMPLATE (made first the same way,
# and never run in itself): seconds instead of a whole wineboot, so that every test group
# can have a prefix of its own.
# Safe to call from several tests at once: the first caller builds it, the others wait.
# Runs Wine only inside scripts/isolated.sh, so no real serial device is ever reachable.
# Usage: scripts/wine_prefix.sh PATH [TEMPLATE]
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ] || [ -z "$1" ] || [ "${2-x}" = "" ]; then
  echo "usage: $0 PATH [TEMPLATE]" >&2
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
flock -w 240 9
if [ ! -e "$ready" ]; then
  if [ $# -eq 2 ]; then
    template=$("$0" "$2")
    [ "$template" != "$prefix" ] || { echo "a prefix cannot be its own template" >&2; exit 2; }
    # Copied beside it and then put in its place, so that an interrupted copy is never
    # taken for a prefix; the copy keeps links and modes.
    rm -rf "$prefix.copy"
    cp -a "$template" "$prefix.copy"
    rm -f "$prefix.copy/${ready##*/}"
    rm -rf "$prefix"
    mv "$prefix.copy" "$prefix"
  else
    timeout 120 wineboot -i >/dev/null 2>&1
    timeout 60 wineserver -w || true
  fi
  # Only a prefix with its system folder counts as made.
  [ -d "$prefix/drive_c/windows" ] || { echo "wineboot did not make $prefix" >&2; exit 1; }
  touch "$ready"
fi
echo "$prefix"

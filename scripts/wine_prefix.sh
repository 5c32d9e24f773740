#!/usr/bin/env bash
# Private 32-bit Wine prefixes.
#
#   wine_prefix.sh PATH
#     Makes (once) or reuses a prefix at PATH with wineboot and prints its absolute path. Safe
#     from several callers at once: the first makes it, the others wait.
#   wine_prefix.sh PATH TEMPLATE
#     Makes PATH anew as a prefix of its own that costs only what Wine changes in it: TEMPLATE
#     (made first as above, and never run in) seen through an overlay mount, whose writes go to
#     PATH.changes/. The mount lives in the caller's mount namespace (scripts/isolated.sh), so it
#     is seen by nobody else and goes with the namespace; it has a device of its own, so
#     wineserver, which keys its socket by the prefix folder's device and inode, gives it a
#     server of its own. Where no overlay can be mounted, PATH is a copy of the template. Prints
#     PATH's absolute path. Whatever an earlier session left at PATH goes first.
#   wine_prefix.sh --release PATH [--keep]
#     Once PATH's server has ended: removes the prefix and its changes; with --keep, leaves at
#     PATH a whole prefix (the template with the changes), for whoever looks into a failure.
#   wine_prefix.sh PATH TEMPLATE -- COMMAND [ARG...]
#     Runs COMMAND with WINEPREFIX=PATH made anew as above, in a namespace of its own unless
#     already in one, ends the prefix's server, releases the prefix (kept whole when COMMAND
#     failed) and exits with COMMAND's status.
#
# Runs Wine only inside scripts/isolated.sh, so no real serial device is ever reachable.
set -euo pipefail
shopt -s inherit_errexit
here=$(cd "$(dirname "$0")" && pwd)
usage() {
  echo "usage: $0 PATH [TEMPLATE [-- COMMAND [ARG...]]] | --release PATH [--keep]" >&2
  exit 2
}

export WINEARCH=win32 WINEDEBUG=-all
# No runtime add-ons to download or install: the program needs none. No Linux menu entries
# or file associations from the prefix either (";" separates the entries).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
ready_mark=.kestrelon-prefix-ready

absolute() {
  mkdir -p "$1"
  local path
  path=$(cd "$1" && pwd)
  case "$path" in
    "$HOME/.wine" | "$HOME/.wine/"*) echo "refusing to use the user's own Wine prefix" >&2; exit 2 ;;
  esac
  echo "$path"
}

booted_prefix() {
  local prefix
  prefix=$(absolute "$1")
  (
    exec 9>"$prefix.lock"
    flock -w 240 9
    if [ ! -e "$prefix/$ready_mark" ]; then
      export WINEPREFIX=$prefix
      timeout 120 wineboot -i >/dev/null 2>&1
      timeout 60 wineserver -w || true
      # Only a prefix with its system folder counts as made.
      [ -d "$prefix/drive_c/windows" ] || { echo "wineboot did not make $prefix" >&2; exit 1; }
      touch "$prefix/$ready_mark"
    fi
  )
  echo "$prefix"
}

# Takes away the prefix at $1 (absolute) and its changes; with $2 = keep, a mounted prefix is
# first copied whole beside it and then put in its place.
release() {
  local prefix=$1 keep=${2-}
  if mountpoint -q "$prefix"; then
    if [ "$keep" = keep ]; then
      rm -rf "$prefix.kept"
      cp -a "$prefix" "$prefix.kept"
    fi
    # A mount inside the prefix (a test's small disk) goes with it; a process still holding a
    # file there keeps the detached mount until it ends.
    umount -R "$prefix" 2>/dev/null || umount -R -l "$prefix"
    rmdir "$prefix"
    if [ "$keep" = keep ]; then mv "$prefix.kept" "$prefix"; fi
  elif [ "$keep" != keep ] && [ -e "$prefix" ]; then
    # A copy, or what an earlier run kept; never a folder that is not a prefix.
    if [ -n "$(ls -A "$prefix")" ] && [ ! -d "$prefix/drive_c" ]; then
      echo "refusing to remove $prefix: not a Wine prefix" >&2
      exit 2
    fi
    rm -rf "$prefix"
  fi
  rm -rf "$prefix.changes"
}

overlay_prefix() {
  if [ "${KESTRELON_ISOLATED:-}" != 1 ]; then
    echo "$0: a prefix over a template only inside scripts/isolated.sh, whose namespace holds its mount" >&2
    exit 2
  fi
  local template prefix changes
  template=$(booted_prefix "$2")
  prefix=$(absolute "$1")
  [ "$template" != "$prefix" ] || { echo "a prefix cannot be its own template" >&2; exit 2; }
  release "$prefix"
  changes=$prefix.changes
  mkdir -p "$prefix" "$changes/upper" "$changes/work"
  # The mount options separate folders with ":" and options with ",".
  if [[ "$template$changes" == *[,:]* ]] || ! mount -t overlay overlay \
    -o "lowerdir=$template,upperdir=$changes/upper,workdir=$changes/work" "$prefix" 2>/dev/null; then
    echo "no overlay mount for $prefix: a copy of the template instead" >&2
    rm -rf "$changes" "$prefix"
    # Copied beside it and then put in its place, so that an interrupted copy is never
    # taken for a prefix; the copy keeps links and modes.
    cp -a "$template" "$prefix.copy"
    mv "$prefix.copy" "$prefix"
  fi
  echo "$prefix"
}

case "$#:${1-}" in
  0:* | 1:--release | *:) usage ;;
esac
if [ "$1" = --release ]; then
  [ $# -le 3 ] && [ -n "$2" ] && { [ $# -eq 2 ] || [ "$3" = --keep ]; } || usage
  [ -e "$2" ] || exit 0
  release "$(cd "$2" && pwd)" "$([ $# -eq 3 ] && echo keep)"
elif [ $# -eq 1 ]; then
  if [ "${KESTRELON_ISOLATED:-}" != 1 ]; then exec "$here/isolated.sh" "$0" "$@"; fi
  booted_prefix "$1"
elif [ $# -eq 2 ] && [ -n "$2" ]; then
  overlay_prefix "$1" "$2"
elif [ $# -ge 4 ] && [ -n "$2" ] && [ "$3" = -- ]; then
  if [ "${KESTRELON_ISOLATED:-}" != 1 ]; then exec "$here/isolated.sh" "$0" "$@"; fi
  prefix=$(overlay_prefix "$1" "$2")
  shift 3
  status=0
  WINEPREFIX=$prefix "$@" || status=$?
  WINEPREFIX=$prefix timeout 30 wineserver -k 2>/dev/null || true
  WINEPREFIX=$prefix timeout 30 wineserver -w 2>/dev/null || true
  release "$prefix" "$([ "$status" = 0 ] || echo keep)"
  exit "$status"
else
  usage
fi

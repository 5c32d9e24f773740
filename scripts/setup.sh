#!/usr/bin/env bash
# Installs what building and testing Kestrelon needs on a Debian 12 machine, as root, without
# questions. Idempotent: packages already installed are left alone, and apt is touched only when
# something is missing. Quiet unless something fails.
set -euo pipefail

packages=(
  g++-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386 wine64
  xvfb xdotool x11-apps imagemagick socat
  nsis osslsigncode openssl
  clang libclang-rt-14-dev cmake ninja-build googletest valgrind
)

installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)" = "install ok installed" ]
}

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
run_quietly() {
  if ! "$@" >>"$log" 2>&1; then
    cat "$log" >&2
    echo "setup.sh: failed: $*" >&2
    exit 1
  fi
}

export DEBIAN_FRONTEND=noninteractive
need_update=0
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  run_quietly dpkg --add-architecture i386
  need_update=1
fi
# Without package lists (a fresh machine) or after adding an architecture, apt must look first.
if [ "$need_update" = 1 ] || ! compgen -G '/var/lib/apt/lists/*_Packages' >/dev/null; then
  run_quietly apt-get update -q
fi
if ! apt-get install -y -q "${missing[@]}" >>"$log" 2>&1; then
  # Stale package lists are the usual cause: look again once, then try again.
  run_quietly apt-get update -q
  run_quietly apt-get install -y -q "${missing[@]}"
fi

for package in "${missing[@]}"; do
  if ! installed "$package"; then
    echo "setup.sh: $package is still not installed" >&2
    exit 1
  fi
done

#!/usr/bin/env bash
# The signed release, made from the unsigned (reproducible) one: Authenticode signatures with
# osslsigncode, kept apart as detached signature files, so that anyone can attach them to their
# own unsigned build and get the signed release byte for byte.
#
#   scripts/sign_release.sh sign CERT.pem KEY.pem [--timestamp URL]
#       signs Kestrelon.exe and KestrelonScan.exe, packs the zip and the setup program from the
#       signed programs (the uninstaller signed before it is packed, the setup program last) and
#       writes them with SHA256SUMS to signed/, every detached signature to signed/signatures/
#   scripts/sign_release.sh attach SIGNATURES_DIR [CA.pem]
#       the same signed release from the unsigned build and those signatures: no key, no network
#   scripts/sign_release.sh verify [CA.pem]
#       checks SHA256SUMS and the signature of every program, the uninstaller and the setup
#
# The unsigned build is the release build of the README (build/windows-release, or the folder
# named by KESTRELON_RELEASE_BUILD); signed/ is made anew inside it, and nothing else there is
# touched: the signed release is built in a temporary folder. CA.pem: the authorities trusted
# when checking (default: the system's). The key is only read, by osslsigncode.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m -- "${KESTRELON_RELEASE_BUILD:-$root/build/windows-release}")
out="$build/signed"
system_authorities=/etc/ssl/certs/ca-certificates.crt

usage() {
  sed -n 's/^#   \(scripts.*\)/usage: \1/p' "$0" >&2
  exit 2
}
die() {
  echo "sign_release.sh: $*" >&2
  exit 1
}
readable() {
  { [ -f "$1" ] && [ -r "$1" ]; } || die "$1: no such readable file"
}
# The signing runs in the build, elsewhere: every path it is given must be whole.
whole() {
  readable "$1"
  realpath -- "$1"
}

# Builds the signed release in the work folder with the project's own release commands (see
# KESTRELON_SIGN_COMMAND in cmake/windows_programs.cmake), then puts it in signed/ with the
# signatures, those of the work folder.
build_signed_release() {
  local signatures="$work/signatures"
  for program in Kestrelon KestrelonScan; do
    readable "$build/$program.exe"
  done
  export KESTRELON_SIGNATURES=$signatures
  if ! (cd "$root" && cmake --preset windows-release -B "$work/build" \
      -DKESTRELON_SIGN_COMMAND="$root/scripts/sign_file.sh" -DKESTRELON_UNSIGNED_BUILD="$build" &&
      cmake --build "$work/build" --target release) >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    die "the signed release could not be built"
  fi
  rm -rf "$out"
  mkdir -p "$out/signatures"
  cp "$work/build/dist/"* "$out/"
  cp "$signatures/"*.sig "$out/signatures/"
  echo "signed release in $out:"
  (cd "$out" && cat SHA256SUMS && ls signatures)
}

sign() {
  [ $# -eq 2 ] || [ $# -eq 4 ] || usage
  local cert=$1 key=$2 timestamp=
  if [ $# -eq 4 ]; then
    [ "$3" = --timestamp ] || usage
    timestamp=$4
  fi
  cert=$(whole "$cert")
  key=$(whole "$key")
  mkdir "$work/signatures"
  KESTRELON_SIGN_MODE=sign KESTRELON_SIGN_CERT=$cert KESTRELON_SIGN_KEY=$key \
    KESTRELON_SIGN_TIMESTAMP=$timestamp build_signed_release
  if [ -z "$timestamp" ]; then
    echo "sign_release.sh: signed without a time stamp (--timestamp URL needs the network):" \
      "these signatures stop being valid when the certificate expires," \
      "$(openssl x509 -noout -enddate -in "$cert" | cut -d= -f2)" >&2
  fi
}

attach() {
  [ $# -eq 1 ] || [ $# -eq 2 ] || usage
  local given=$1 authorities=${2:-$system_authorities}
  [ -d "$given" ] || die "$given: no such folder"
  authorities=$(whole "$authorities")
  # Aside first: the signatures may be those of signed/, which is made anew.
  mkdir "$work/signatures"
  cp "$given/"*.sig "$work/signatures/" || die "$given: no signature (*.sig) there"
  KESTRELON_SIGN_MODE=attach KESTRELON_SIGN_CA=$authorities build_signed_release
}

# osslsigncode verify, quiet unless the check fails. A time stamp is checked against the given
# authorities and the system's: a public time-stamping service may sign it.
check_signature() {
  local file=$1 shown=$2 authorities=$3 log="$work/verify.log"
  cat "$authorities" "$system_authorities" >"$work/time-stamp-authorities.pem"
  if ! osslsigncode verify -CAfile "$authorities" -TSA-CAfile "$work/time-stamp-authorities.pem" \
    -in "$file" >"$log" 2>&1; then
    cat "$log"
    echo "$shown: signature NOT verified" >&2
    return 1
  fi
  if grep -q "Timestamp Server Signature verification: ok" "$log"; then
    echo "$shown: signature verified, time-stamped"
  elif grep -q "Timestamp is not available" "$log"; then
    echo "$shown: signature verified (no time stamp: valid while the certificate is)"
  else
    echo "$shown: signature verified (time stamp not verified: valid while the certificate is)"
  fi
}

verify() {
  [ $# -le 1 ] || usage
  local authorities=${1:-$system_authorities} failed=0 zip setup
  readable "$authorities"
  [ -f "$out/SHA256SUMS" ] || die "$out: no signed release there"
  (cd "$out" && sha256sum --quiet -c SHA256SUMS) || die "SHA256SUMS does not match"
  zip=$(basename "$out"/*.zip)
  setup=$(basename "$out"/*-setup.exe)
  # The programs as the zip holds them, and the uninstaller as the setup program holds it.
  python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
    "$out/$zip" "$work/zip"
  for program in "$work"/zip/*/*.exe; do
    check_signature "$program" "$zip: ${program##*/}" "$authorities" || failed=1
  done
  python3 "$root/installer/packed_uninstaller.py" "$out/$setup" "$work/Dezinstalare.exe"
  check_signature "$work/Dezinstalare.exe" "$setup: Dezinstalare.exe" "$authorities" || failed=1
  check_signature "$out/$setup" "$setup" "$authorities" || failed=1
  [ $failed = 0 ] || die "a signature is missing or does not verify"
}

[ $# -ge 1 ] || usage
command -v osslsigncode >/dev/null || die "osslsigncode is missing: run scripts/setup.sh as root"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
case "$1" in
  sign | attach | verify) "$@" ;;
  *) usage ;;
esac

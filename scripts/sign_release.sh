#!/usr/bin/env bash
# The signed release, made from the unsigned (reproducible) one: Authenticode signatures with
# osslsigncode, kept apart as detached signature files, so that anyone can attach them to their
# own unsigned build and get the signed release byte for byte.
#
#   scripts/sign_release.sh sign CERT.pem KEY.pem [--timestamp URL] [--passfile FILE]
#       signs Kestrelon.exe and KestrelonScan.exe, packs the zip and the setup program from the
#       signed programs (the uninstaller signed before it is packed, the setup program last) and
#       writes them with SHA256SUMS to signed/, every detached signature to signed/signatures/;
#       FILE holds the key's passphrase and nothing else (one line)
#   scripts/sign_release.sh attach SIGNATURES_DIR [CA.pem] [--publisher SHA256]
#       the same signed release from the unsigned build and those signatures: no key, no network
#   scripts/sign_release.sh verify [CA.pem] [--publisher SHA256] [--sums FILE]
#       checks every file of signed/ against its SHA256SUMS (and FILE, the published one), the
#       zip's list of files, and the publisher's signature on every program, the uninstaller
#       and the setup
#
# The unsigned build is the release build of the README (build/windows-release, or the folder
# named by KESTRELON_RELEASE_BUILD); signed/ is made anew inside it, and nothing else there is
# touched: the signed release is built in a temporary folder. CA.pem: the authorities trusted
# when checking (default: the system's). The key is only read, by osslsigncode. attach and
# verify accept only signatures made by the publisher's certificate: the one whose SHA-256
# fingerprint PUBLISHER-SHA256 holds, or --publisher gives (hex, colons and case optional); and
# carrying nothing unsigned but one time stamp, which must verify.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m -- "${KESTRELON_RELEASE_BUILD:-$root/build/windows-release}")
out="$build/signed"
system_authorities=/etc/ssl/certs/ca-certificates.crt
publisher_file="$root/PUBLISHER-SHA256"

# The release's names, from the project's version.
version=$(sed -n 's/^project(Kestrelon VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
folder="Kestrelon-$version"
zip="$folder.zip"
setup="$folder-setup.exe"
programs=(Kestrelon.exe KestrelonScan.exe)
uninstaller=Dezinstalare.exe
documents=(Ghid-utilizare.txt Instructiuni-pe-scurt.txt)
signed_files=("${programs[@]}" "$uninstaller" "$setup")

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

# Splits the arguments into the words, in `words`, and the options, each with its value, in
# `option`; $1 lists the options the command takes.
words=()
declare -A option=()
parse() {
  local allowed=" $1 "
  shift
  while [ $# -gt 0 ]; do
    if [[ $1 == --* ]]; then
      { [[ $allowed == *" $1 "* ]] && [ $# -ge 2 ]; } || usage
      option[$1]=$2
      shift 2
    else
      words+=("$1")
      shift
    fi
  done
}

# The publisher's certificate fingerprint, as lower-case hex: --publisher, or PUBLISHER-SHA256.
publisher() {
  local given=${option[--publisher]:-}
  if [ -z "$given" ]; then
    given=$(grep -v '^[[:space:]]*\(#\|$\)' "$publisher_file" || true)
    [ -n "$given" ] || die "no publisher known: $publisher_file holds no certificate" \
      "fingerprint (the project has no code-signing certificate yet), so no signature can be" \
      "told to be the publisher's; give the signer's with --publisher SHA256"
  fi
  local hex
  hex=$(printf %s "$given" | tr -d ':[:blank:]' | tr A-F a-f)
  [[ $hex =~ ^[0-9a-f]{64}$ ]] || die "$given: not a SHA-256 fingerprint"
  echo "$hex"
}

# Whether a detached signature (PKCS #7) was made by the publisher's certificate, and carries
# nothing unsigned but one time stamp (signer_fingerprint.py refuses the rest).
by_publisher() {
  local signature=$1 shown=$2 signer
  if ! signer=$(python3 "$root/scripts/signer_fingerprint.py" "$signature" 2>"$work/refused"); then
    echo "$shown: refused: $(sed 's/^[^(]*(//; s/)$//' "$work/refused")" >&2
    return 1
  fi
  if [ "$signer" != "$pinned" ]; then
    echo "$shown: signed by the certificate $signer, not by the publisher's ($pinned)" >&2
    return 1
  fi
}

# Builds the signed release in the work folder with the project's own release commands (see
# KESTRELON_SIGN_COMMAND in cmake/windows_programs.cmake), then puts it in signed/ with the
# signatures, those of the work folder. The build has no terminal (setsid) and no input, so
# that nothing in it can stop to ask for a passphrase.
build_signed_release() {
  local signatures="$work/signatures"
  for program in "${programs[@]}"; do
    readable "$build/$program"
  done
  export KESTRELON_SIGNATURES=$signatures
  if ! (cd "$root" && cmake --preset windows-release -B "$work/build" \
      -DKESTRELON_SIGN_COMMAND="$root/scripts/sign_file.sh" -DKESTRELON_UNSIGNED_BUILD="$build" &&
      setsid -w cmake --build "$work/build" --target release) </dev/null >"$work/build.log" 2>&1
  then
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
  parse "--timestamp --passfile" "$@"
  [ ${#words[@]} -eq 2 ] || usage
  local cert key timestamp=${option[--timestamp]:-} passfile=${option[--passfile]:-}
  cert=$(whole "${words[0]}")
  key=$(whole "${words[1]}")
  if [ -n "$passfile" ]; then
    passfile=$(whole "$passfile")
  elif grep -qE '^(-----BEGIN ENCRYPTED|Proc-Type: 4,ENCRYPTED)' "$key"; then
    die "$key is under a passphrase: give the file that holds it with --passfile FILE"
  fi
  mkdir "$work/signatures"
  KESTRELON_SIGN_MODE=sign KESTRELON_SIGN_CERT=$cert KESTRELON_SIGN_KEY=$key \
    KESTRELON_SIGN_PASSFILE=$passfile KESTRELON_SIGN_TIMESTAMP=$timestamp build_signed_release
  echo "signer's certificate, SHA-256:" \
    "$(python3 "$root/scripts/signer_fingerprint.py" "$out/signatures/$setup.sig")" \
    "(attach and verify want it in $publisher_file)"
  if [ -z "$timestamp" ]; then
    echo "sign_release.sh: signed without a time stamp (--timestamp URL needs the network):" \
      "these signatures stop being valid when the certificate expires," \
      "$(openssl x509 -noout -enddate -in "$cert" | cut -d= -f2)" >&2
  fi
}

# The names of a folder's entries, one a line, sorted.
entries() {
  find "$1" -mindepth 1 -maxdepth 1 -printf '%f\n' | LC_ALL=C sort
}
# Says what differs between two lists of names ($1 expected, $2 found) in the place $3.
same_names() {
  local name
  while IFS= read -r name; do
    echo "$3: $name: not part of the release" >&2
  done < <(LC_ALL=C comm -13 <(echo "$1") <(echo "$2"))
  while IFS= read -r name; do
    echo "$3: $name: missing" >&2
  done < <(LC_ALL=C comm -23 <(echo "$1") <(echo "$2"))
  [ "$1" = "$2" ]
}

# Takes the signatures of the given folder: exactly one for each signed file, each a regular
# file (no link, no folder), made by the publisher. They are copied aside first (they may be
# those of signed/, which is made anew) and checked there; anything else is refused before
# anything is written.
take_signatures() {
  local given=$1 name refused=0
  mkdir "$work/signatures"
  same_names "$(printf '%s.sig\n' "${signed_files[@]}" | LC_ALL=C sort)" "$(entries "$given")" \
    "$given" || die "$given: not the release's signatures, one for each signed file"
  for name in "${signed_files[@]/%/.sig}"; do
    { [ -f "$given/$name" ] && [ ! -L "$given/$name" ]; } ||
      die "$given/$name: a link or not a file: refused"
    cp --no-dereference -- "$given/$name" "$work/signatures/"
    { [ -f "$work/signatures/$name" ] && [ ! -L "$work/signatures/$name" ]; } ||
      die "$given/$name: a link or not a file: refused"
    by_publisher "$work/signatures/$name" "$given/$name" || refused=1
  done
  [ $refused = 0 ] || die "$given: signatures refused"
}

attach() {
  parse --publisher "$@"
  [ ${#words[@]} -eq 1 ] || [ ${#words[@]} -eq 2 ] || usage
  local given=${words[0]} authorities=${words[1]:-$system_authorities}
  { [ -d "$given" ] && [ ! -L "$given" ]; } || die "$given: no such folder"
  authorities=$(whole "$authorities")
  pinned=$(publisher)
  take_signatures "$given"
  KESTRELON_SIGN_MODE=attach KESTRELON_SIGN_CA=$authorities build_signed_release
}

# Compares the release's files with a list of their sums: the same names, the same sums.
check_sums() {
  local sums=$1 actual line failed=0
  actual=$(cd "$out" && sha256sum -- "$zip" "$setup")
  while IFS= read -r line; do
    grep -qxF -- "$line" "$sums" || {
      echo "${line#*  }: its SHA-256 is not the one $sums gives" >&2
      failed=1
    }
  done <<<"$actual"
  while IFS= read -r line; do
    grep -qxF -- "$line" <<<"$actual" || {
      echo "$sums: \"$line\": no file of the release has that name and sum" >&2
      failed=1
    }
  done <"$sums"
  return $failed
}

# osslsigncode verify, quiet unless the check fails; then the signature must be the publisher's
# and the one published in signatures/. A time stamp is checked against the given authorities
# and the system's: a public time-stamping service may sign it.
check_signature() {
  local file=$1 name=$2 shown=$3 authorities=$4 log="$work/verify.log"
  local extracted="$work/$name.sig"
  cat "$authorities" "$system_authorities" >"$work/time-stamp-authorities.pem"
  if ! osslsigncode verify -CAfile "$authorities" -TSA-CAfile "$work/time-stamp-authorities.pem" \
    -in "$file" >"$log" 2>&1; then
    cat "$log"
    echo "$shown: signature NOT verified" >&2
    return 1
  fi
  osslsigncode extract-signature -pem -in "$file" -out "$extracted" >/dev/null 2>&1 || true
  by_publisher "$extracted" "$shown" || return 1
  if ! cmp -s "$extracted" "$out/signatures/$name.sig"; then
    echo "$shown: its signature is not signatures/$name.sig" >&2
    return 1
  fi
  # A time stamp is unsigned by the publisher: one that does not verify is somebody else's.
  if grep -q "Timestamp Server Signature verification: ok" "$log"; then
    echo "$shown: the publisher's signature verified, time-stamped"
  elif grep -q "Timestamp is not available" "$log"; then
    echo "$shown: the publisher's signature verified (no time stamp: valid while the" \
      "certificate is)"
  else
    cat "$log"
    echo "$shown: its time stamp does NOT verify" >&2
    return 1
  fi
}

verify() {
  parse "--publisher --sums" "$@"
  [ ${#words[@]} -le 1 ] || usage
  local authorities=${words[0]:-$system_authorities} published=${option[--sums]:-} failed=0
  readable "$authorities"
  [ -z "$published" ] || readable "$published"
  pinned=$(publisher)
  [ -f "$out/SHA256SUMS" ] || die "$out: no signed release there"
  same_names "$(printf '%s\n' "$zip" "$setup" SHA256SUMS signatures | LC_ALL=C sort)" \
    "$(entries "$out")" "$out" || failed=1
  same_names "$(printf '%s.sig\n' "${signed_files[@]}" | LC_ALL=C sort)" \
    "$(entries "$out/signatures")" "$out/signatures" || failed=1
  [ -z "$published" ] || check_sums "$published" || failed=1
  check_sums "$out/SHA256SUMS" || failed=1
  [ $failed = 0 ] || die "the signed release is not the one published"
  # The zip holds the programs and the documents in one folder, nothing more: the portable program
  # would load a DLL put beside it.
  local names
  names=$(python3 -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist(),
    sep="\n")' "$out/$zip" | LC_ALL=C sort)
  same_names "$(printf '%s\n' "$folder/" "${programs[@]/#/$folder/}" \
    "${documents[@]/#/$folder/}" | LC_ALL=C sort)" "$names" "$zip" ||
    die "$zip: not the files of the release"
  python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
    "$out/$zip" "$work/zip"
  for program in "${programs[@]}"; do
    check_signature "$work/zip/$folder/$program" "$program" "$zip: $program" "$authorities" ||
      failed=1
  done
  python3 "$root/installer/packed_uninstaller.py" "$out/$setup" "$work/$uninstaller"
  check_signature "$work/$uninstaller" "$uninstaller" "$setup: $uninstaller" "$authorities" ||
    failed=1
  check_signature "$out/$setup" "$setup" "$setup" "$authorities" || failed=1
  [ $failed = 0 ] || die "a signature is missing, does not verify, or is not the publisher's"
}

[ $# -ge 1 ] || usage
command -v osslsigncode >/dev/null || die "osslsigncode is missing: run scripts/setup.sh as root"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
case "$1" in
  sign | attach | verify) "$@" ;;
  *) usage ;;
esac

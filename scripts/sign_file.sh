#!/usr/bin/env bash
# Gives one file of a signed release its Authenticode signature. Called by the build that
# scripts/sign_release.sh runs: for each program, and by makensis for the uninstaller and the
# setup program. Usage: sign_file.sh NAME UNSIGNED SIGNED (the two paths may be the same file)
#
# NAME is the file's name in the release; its detached signature is $KESTRELON_SIGNATURES/NAME.sig
# (PEM). KESTRELON_SIGN_MODE says what to do:
#   sign    sign with KESTRELON_SIGN_CERT and KESTRELON_SIGN_KEY (SHA-256; an RFC 3161 time stamp
#           from KESTRELON_SIGN_TIMESTAMP when set; the key's passphrase read from the file
#           KESTRELON_SIGN_PASSFILE when set) and keep the signature;
#   attach  attach the kept signature, with no key: the same bytes as signing gave, when UNSIGNED
#           is the same file. osslsigncode checks the result against KESTRELON_SIGN_CA as of the
#           signature's own signing time, so that a release can be made again after its
#           certificate expired (whether it is valid now is for sign_release.sh verify to say).
set -euo pipefail
if [ $# -ne 3 ]; then
  echo "usage: $0 NAME UNSIGNED SIGNED" >&2
  exit 2
fi
name=$1 unsigned=$2 signed=$3
signature="$KESTRELON_SIGNATURES/$name.sig"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
result="$scratch/$name"
log="$scratch/log"

# osslsigncode is talkative even when it succeeds: its words are shown only when it fails.
quietly() {
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    echo "sign_file.sh: $name: failed: $1 $2" >&2
    exit 1
  fi
}

# The signature's signing time (its first signingTime attribute, YYMMDDhhmmssZ), in seconds.
signing_time() {
  local t
  t=$(openssl asn1parse -inform PEM -in "$1" |
    awk '/:signingTime/ { found = 1 } found && /UTCTIME/ { sub(/.*UTCTIME *:/, ""); print; exit }')
  date -u -d "20${t:0:2}-${t:2:2}-${t:4:2} ${t:6:2}:${t:8:2}:${t:10:2}" +%s
}

case "${KESTRELON_SIGN_MODE:-}" in
  sign)
    options=()
    if [ -n "${KESTRELON_SIGN_TIMESTAMP:-}" ]; then
      options+=(-ts "$KESTRELON_SIGN_TIMESTAMP")
    fi
    # The passphrase goes from its file to osslsigncode alone: never on a command line.
    if [ -n "${KESTRELON_SIGN_PASSFILE:-}" ]; then
      options+=(-readpass "$KESTRELON_SIGN_PASSFILE")
    fi
    quietly osslsigncode sign -certs "$KESTRELON_SIGN_CERT" -key "$KESTRELON_SIGN_KEY" \
      -h sha256 -n Kestrelon "${options[@]}" -in "$unsigned" -out "$result"
    quietly osslsigncode extract-signature -pem -in "$result" -out "$signature"
    ;;
  attach)
    signed_at=$(signing_time "$signature") || { echo "$signature: no signing time" >&2; exit 1; }
    quietly osslsigncode attach-signature -sigin "$signature" -CAfile "$KESTRELON_SIGN_CA" \
      -time "$signed_at" -in "$unsigned" -out "$result"
    ;;
  *)
    echo "sign_file.sh: KESTRELON_SIGN_MODE must be sign or attach" >&2
    exit 2
    ;;
esac
cp "$result" "$signed"

#!/usr/bin/env bash
# Signs each file in place with Authenticode (SHA-256), using osslsigncode.
#   scripts/sign.sh FILE...
# The certificate and key come from SIGN_CERT and SIGN_KEY (PEM files), or
# from a PKCS#12 file in SIGN_PFX with its password in SIGN_PASS. A time
# stamp is added when SIGN_TIMESTAMP_URL is set. Any other set of SIGN_*
# settings stops it before it signs anything, as it stops the release.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: scripts/sign.sh FILE..." >&2
  exit 2
fi
# The release's rules: one complete set of settings, and nothing beside it.
python3 "$(dirname "$0")/release.py" --check-signing
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if [ -n "${SIGN_PFX:-}" ]; then
  credentials=(-pkcs12 "$SIGN_PFX")
  if [ -n "${SIGN_PASS:-}" ]; then
    # From a file, so that the password never shows in a process list.
    (umask 077 && printf '%s' "$SIGN_PASS" > "$scratch/pass")
    credentials+=(-readpass "$scratch/pass")
  fi
else
  credentials=(-certs "$SIGN_CERT" -key "$SIGN_KEY")
fi
timestamp=()
if [ -n "${SIGN_TIMESTAMP_URL:-}" ]; then
  timestamp=(-ts "$SIGN_TIMESTAMP_URL")
fi
for file in "$@"; do
  osslsigncode sign -h sha256 "${credentials[@]}" "${timestamp[@]}" \
    -n "Vendrel 2 launcher" -in "$file" -out "$scratch/signed" >/dev/null
  # Only a completely signed file replaces the original.
  cat "$scratch/signed" > "$file"
  rm -f "$scratch/signed"
done

#!/usr/bin/env bash
# Makes the build's CA certificate a trusted issuer of TLS server certificates, for the user
# who runs it, in the NSS databases that browsers read: Chromium's ($HOME/.pki/nssdb, created
# when missing) and every Firefox profile's.
#   tools/trust-ca.sh <CA certificate PEM file>
# The CA is kept under one nickname: each run first removes every entry of that nickname, so
# the CA of a rebuild replaces the earlier one. Only a file holding exactly one CA certificate
# that is name-constrained to DNS names is taken; it never reads or needs the CA key.
set -euo pipefail

nickname="Dravik Local Signing Host CA"

fail() {
  echo "trust-ca: $*" >&2
  exit 1
}

[ $# -eq 1 ] || fail "usage: $0 <CA certificate PEM file>"
ca_file=$1
[ -f "$ca_file" ] || fail "no file $ca_file"
command -v certutil >/dev/null || fail "certutil is missing (Debian package libnss3-tools)"
command -v openssl >/dev/null || fail "openssl is missing"

# Only one PEM block, and that a certificate: anything else in the file is refused rather
# than skipped, so that what is trusted is exactly what was looked at.
blocks=$(grep -c -- '^-----BEGIN ' "$ca_file" || true)
certificates=$(grep -c -- '^-----BEGIN CERTIFICATE-----' "$ca_file" || true)
if [ "$blocks" -ne 1 ] || [ "$certificates" -ne 1 ]; then
  fail "$ca_file must hold exactly one PEM certificate and nothing else"
fi

extensions=$(openssl x509 -in "$ca_file" -noout -ext basicConstraints,nameConstraints 2>/dev/null) ||
  fail "$ca_file holds no readable certificate"
grep -q 'CA:TRUE' <<<"$extensions" || fail "$ca_file is not a CA certificate"
# A CA that browsers trust for every name would let whoever holds its key pose as any site.
if ! grep -q 'Name Constraints: critical' <<<"$extensions" ||
  ! grep -q 'Permitted:' <<<"$extensions"; then
  fail "$ca_file is not name-constrained: refusing to make it trusted"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl x509 -in "$ca_file" -outform DER -out "$work/ca.der"

# Firefox profiles: those that profiles.ini lists and every folder holding a database.
firefox_profiles() {
  local base=$1 line path relative
  [ -d "$base" ] || return 0
  if [ -f "$base/profiles.ini" ]; then
    relative=1
    path=
    while IFS= read -r line || [ -n "$line" ]; do
      line=${line%$'\r'}
      case "$line" in
        \[*)
          [ -z "$path" ] || { [ "$relative" = 1 ] && echo "$base/$path" || echo "$path"; }
          relative=1
          path=
          ;;
        Path=*) path=${line#Path=} ;;
        IsRelative=*) relative=${line#IsRelative=} ;;
      esac
    done <"$base/profiles.ini"
    [ -z "$path" ] || { [ "$relative" = 1 ] && echo "$base/$path" || echo "$path"; }
  fi
  for path in "$base"/*/cert9.db; do
    [ -f "$path" ] && dirname "$path"
  done
  return 0
}

# Removes every entry of the nickname from one database, then adds the CA under it.
trust_in() {
  local folder=$1 db="sql:$1" tries=0
  if [ ! -f "$folder/cert9.db" ] && [ ! -f "$folder/cert8.db" ]; then
    certutil -N -d "$db" --empty-password || return 1
  fi
  while certutil -L -d "$db" -n "$nickname" >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || return 1
    certutil -D -d "$db" -n "$nickname" || return 1
  done
  certutil -A -d "$db" -n "$nickname" -t "C,," -i "$work/ca.der" || return 1
  echo "trust-ca: $nickname trusted in $folder"
}

[ -n "${HOME:-}" ] || fail "HOME is not set"
chromium_db="$HOME/.pki/nssdb"
for folder in "$HOME/.pki" "$chromium_db"; do
  [ -d "$folder" ] || mkdir -m 0700 "$folder"
done
databases=("$chromium_db")
declare -A listed=()
while IFS= read -r folder; do
  [ -d "$folder" ] || continue
  folder=$(readlink -f -- "$folder")
  [ -z "${listed[$folder]:-}" ] || continue
  listed[$folder]=1
  databases+=("$folder")
done < <(
  firefox_profiles "$HOME/.mozilla/firefox"
  firefox_profiles "${XDG_CONFIG_HOME:-$HOME/.config}/mozilla/firefox"
)

failed=0
for folder in "${databases[@]}"; do
  trust_in "$folder" || {
    echo "trust-ca: could not make $nickname trusted in $folder" >&2
    failed=1
  }
done
exit "$failed"

#!/bin/sh
# For each program given: the signed release's list (make_signed_release.sh) with the program's SHA-256 added as
# updater.exe, signed by the first built-in test key, as <out>/<program name>/SHA256SUMS and SHA256SUMS.sig.
set -e
out=${1:?usage: make_updater_lists.sh OUT SIGNED_RELEASE KEYS_DIR PROGRAM...}
release=${2:?}
keys=${3:?}
shift 3
rm -rf "$out"
for program in "$@"; do
    list="$out/$(basename "$program" .exe)/SHA256SUMS"
    mkdir -p "$(dirname "$list")"
    { cat "$release/SHA256SUMS"; sha256sum "$program" | sed 's|  .*|  updater.exe|'; } > "$list"
    openssl dgst -sha256 -sign "$keys/release-1.key.pem" -out "$list.sig" "$list"
done

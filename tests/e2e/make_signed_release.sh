#!/bin/sh
# Makes a signed release for the tests of a signed updater, the way a studio would with plain tools: <out>/game.exe,
# <out>/lib.zip, and one folder per answer a mirror may give, each with its SHA256SUMS and SHA256SUMS.sig:
#   release-1, release-2   the list signed by the first or the second built-in test key
#   changed                the list changed after it was signed
#   other-key              signed by a key no updater carries
#   no-signature           the list alone
#   truncated              the signature cut short by one byte
#   extra-bytes            a whole signature with one byte after it
#   older                  an older release's game.exe, lib.zip and list, signed by the first key
# The list is of release 2, the older one of release 1.
set -e
out=${1:?usage: make_signed_release.sh OUT FIXTURE_GAME KEYS_DIR}
game=${2:?}
keys=${3:?}
rm -rf "$out"
mkdir -p "$out/tree/data"
{ cat "$game"; printf 'signed build'; } > "$out/game.exe"
printf 'bass signed' > "$out/tree/bass.dll"
printf 'signed readme' > "$out/tree/data/readme.txt"
(cd "$out/tree" && python3 -c 'import zipfile; z = zipfile.ZipFile("../lib.zip", "w"); [z.write(p) for p in ("bass.dll", "data/readme.txt")]; z.close()')
# list FOLDER RELEASE LIBRARY_FILES...: the list of FOLDER's game.exe and lib.zip, and of the files in FOLDER/tree.
list() { (echo "# release $2" && cd "$1" && shift 2 && sha256sum game.exe lib.zip && cd tree && sha256sum "$@" |
    sed 's|  |  lib/|'); }
list "$out" 2 bass.dll data/readme.txt > "$out/SHA256SUMS"
mkdir -p "$out/older/tree"
{ cat "$game"; printf 'older signed build'; } > "$out/older/game.exe"
printf 'bass older' > "$out/older/tree/bass.dll"
(cd "$out/older/tree" && python3 -c 'import zipfile; zipfile.ZipFile("../lib.zip", "w").write("bass.dll")')
list "$out/older" 1 bass.dll > "$out/older/SHA256SUMS"
sign() { openssl dgst -sha256 -sign "$keys/$1.key.pem" -out "$2" "$3"; }
for case in release-1 release-2 changed other-key no-signature truncated extra-bytes; do
    mkdir -p "$out/$case"
    cp "$out/SHA256SUMS" "$out/$case/SHA256SUMS"
done
sign release-1 "$out/release-1/SHA256SUMS.sig" "$out/SHA256SUMS"
sign release-2 "$out/release-2/SHA256SUMS.sig" "$out/SHA256SUMS"
sign release-1 "$out/changed/SHA256SUMS.sig" "$out/SHA256SUMS"
sed -i '2{/^f/{s/^f/0/;b};s/^./f/}' "$out/changed/SHA256SUMS"
cmp -s "$out/SHA256SUMS" "$out/changed/SHA256SUMS" && { echo "the changed list did not change" >&2; exit 1; }
sign other "$out/other-key/SHA256SUMS.sig" "$out/SHA256SUMS"
sign release-1 "$out/truncated/whole.sig" "$out/SHA256SUMS"
head -c -1 "$out/truncated/whole.sig" > "$out/truncated/SHA256SUMS.sig"
rm "$out/truncated/whole.sig"
sign release-1 "$out/extra-bytes/SHA256SUMS.sig" "$out/SHA256SUMS"
printf '\000' >> "$out/extra-bytes/SHA256SUMS.sig"
sign release-1 "$out/older/SHA256SUMS.sig" "$out/older/SHA256SUMS"

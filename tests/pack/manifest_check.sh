#!/bin/bash
# Writes the checksum list for a package and a game with the native package tool ("pack manifest"), lays the files
# out as the list names them (the package unpacked as lib/) and lets sha256sum check every line. Packages the updater
# would unpack differently from what a list can state are refused.
#   manifest_check.sh REPO WORK   (VORLANCE_PACK: the native tool, built here when missing)
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/pack.sh"
# REPO ($1) is this script's repository, where scripts/lib/pack.sh builds the tool from.
work=$2
rm -rf "$work"
mkdir -p "$work/install"
pack=$(native_pack "$work/tool")

python3 - "$work" <<'PY'
import sys, zipfile
work = sys.argv[1]
def pattern(size, seed):
    return bytes((i * seed + i // 256) % 251 for i in range(size))
# Sizes around SHA-256's 64-byte blocks and its 55/56-byte padding edge, one entry over a megabyte, a directory
# entry and a UTF-8 name.
with zipfile.ZipFile(work + '/package.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('bass.dll', pattern(55, 3))
    z.writestr('bass_fx.dll', pattern(56, 5))
    z.writestr('sub/', b'')
    z.writestr('sub/data.pak', pattern(1000003, 7))
    z.writestr('sub/deeper/block.bin', pattern(64, 11))
    z.writestr('empty.txt', b'')
    z.writestr('caf\u00e9.txt', 'utf-8 name'.encode())
with open(work + '/game.bin', 'wb') as f:
    f.write(b'MZ' + pattern(150000, 13))
for name, entries in (('climbs-out', ['../vorlance.exe']), ('twice', ['Bass.dll', 'bass.DLL']),
                      ('empty-component', ['sub//a.dll'])):
    with zipfile.ZipFile(work + '/' + name + '.zip', 'w') as z:
        for entry in entries:
            z.writestr(entry, b'x')
PY

# Without --release, the list is of the studio's UTC time, on its first line, which sha256sum skips.
before=$(date -u +%Y%m%d%H%M%S)
"$pack" manifest "$work/package.zip" "$work/game.bin" "$work/install/SHA256SUMS" >/dev/null
after=$(date -u +%Y%m%d%H%M%S)
cd "$work/install"
release=$(head -n 1 SHA256SUMS | sed -n 's/^# release \([1-9][0-9]\{13\}\)$/\1/p')
[[ -n $release && $release -ge $before && $release -le $after ]] ||
    { echo "first line '$(head -n 1 SHA256SUMS)', not a release between $before and $after" >&2; exit 1; }
unzip -q ../package.zip -d lib
cp ../package.zip lib.zip
cp ../game.bin game.exe
sha256sum --check --strict --quiet SHA256SUMS
files=$(find lib -type f | wc -l)
lines=$(wc -l < SHA256SUMS)
[ "$lines" -eq $((files + 3)) ] || { echo "$lines lines for $files library files" >&2; exit 1; }
tail -n +2 SHA256SUMS | cut -c67- | LC_ALL=C sort -c
grep -q '  lib/sub/deeper/block.bin$' SHA256SUMS

"$pack" manifest --release 999999999999999999 ../package.zip ../game.bin given.sums > /dev/null
[[ $(head -n 1 given.sums) == "# release 999999999999999999" ]] || { echo "--release not written first" >&2; exit 1; }
cmp -s <(tail -n +2 given.sums) <(tail -n +2 SHA256SUMS) || { echo "--release changed the lines" >&2; exit 1; }
for refused in 0 042 +1 1000000000000000000 12a; do
    ! "$pack" manifest --release "$refused" ../package.zip ../game.bin refused.sums > /dev/null 2>&1 &&
        [ ! -e refused.sums ] || { echo "pack manifest took --release '$refused'" >&2; exit 1; }
done

for refused in climbs-out twice empty-component; do
    if "$pack" manifest "../$refused.zip" ../game.bin "$refused.sums" > /dev/null 2>&1; then
        echo "a list was written for $refused.zip" >&2
        exit 1
    fi
    [ ! -e "$refused.sums" ] || { echo "$refused.sums was left behind" >&2; exit 1; }
done
echo "sha256sum accepts the written list"

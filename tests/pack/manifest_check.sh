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
                      ('empty-component', ['sub//a.dll']), ('folders-only', ['empty/']),
                      ('mark', ['bass.dll', 'vorlance-updater-incomplete.txt']),
                      ('over-limit', ['f/%s%05d' % ('x' * 100, i) for i in range(30000)])):
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
# The release line, game.exe, game.exe.gz, lib.zip and a line per library file.
[ "$lines" -eq $((files + 4)) ] || { echo "$lines lines for $files library files" >&2; exit 1; }
tail -n +2 SHA256SUMS | cut -c67- | LC_ALL=C sort -c
grep -q '  lib/sub/deeper/block.bin$' SHA256SUMS

"$pack" manifest --release 20240101000000 ../package.zip ../game.bin given.sums > /dev/null
[[ $(head -n 1 given.sums) == "# release 20240101000000" ]] || { echo "--release not written first" >&2; exit 1; }
cmp -s <(tail -n +2 given.sums) <(tail -n +2 SHA256SUMS) || { echo "--release changed the lines" >&2; exit 1; }
# A typo's extra digit, and any number more than a day past the studio's clock, would lock out every later list.
for refused in 0 042 +1 1000000000000000000 12a 202401010000000 $(date -u -d '+2 days' +%Y%m%d%H%M%S); do
    ! "$pack" manifest --release "$refused" ../package.zip ../game.bin refused.sums > /dev/null 2>&1 &&
        [ ! -e refused.sums ] || { echo "pack manifest took --release '$refused'" >&2; exit 1; }
done

for refused in climbs-out twice empty-component folders-only mark over-limit; do
    if "$pack" manifest "../$refused.zip" ../game.bin "$refused.sums" > /dev/null 2>&1; then
        echo "a list was written for $refused.zip" >&2
        exit 1
    fi
    [ ! -e "$refused.sums" ] || { echo "$refused.sums was left behind" >&2; exit 1; }
done
out=$("$pack" manifest ../over-limit.zip ../game.bin x.sums 2>&1 || true)
grep -q "list for 30000 library files would be 5[0-9]\{6\} bytes; the updater reads at most 4194304" <<< "$out" ||
    { echo "no limit given for a list too long: $out" >&2; exit 1; }

# An output that names an input is refused, and the input stays as it was.
cp ../game.bin ../game.before && cp ../package.zip ../package.before
for output in ../game.bin ../package.zip; do
    status=0 && "$pack" manifest ../package.zip ../game.bin "$output" > /dev/null 2>&1 || status=$?
    [[ $status -eq 2 ]] && cmp -s ../game.bin ../game.before && cmp -s ../package.zip ../package.before ||
        { echo "manifest with the output $output exited $status or changed an input" >&2; exit 1; }
done

# A release must be higher than the one players have; an old signature beside a rewritten list is named.
status=0 && "$pack" manifest --release 20240101000000 --previous given.sums ../package.zip ../game.bin next.sums \
    > /dev/null 2>&1 || status=$?
[[ $status -eq 1 && ! -e next.sums ]] || { echo "a release not above the previous one was written" >&2; exit 1; }
touch next.sums.sig
out=$("$pack" manifest --release 20240101000001 --previous given.sums ../package.zip ../game.bin next.sums)
grep -q "next.sums.sig signs the list this replaced" <<< "$out" || { echo "no warning about the old signature" >&2; exit 1; }

# verify checks the listed files that stand in a folder: one flipped byte of lib.zip fails it.
"$pack" keygen key.pem key.pub > keygen.out && "$pack" sign SHA256SUMS key.pem > /dev/null
out=$("$pack" verify SHA256SUMS key.pub .)
grep -q "matches the list: ./lib/sub/deeper/block.bin" <<< "$out" || { echo "verify did not check lib/: $out" >&2; exit 1; }
python3 -c 'f = open("lib.zip", "r+b"); f.seek(100); b = f.read(1); f.seek(100); f.write(bytes([b[0] ^ 1]))'
verdict=$("$pack" verify SHA256SUMS key.pub . 2>&1) && { echo "verify passed a damaged lib.zip" >&2; exit 1; }
grep -q "lib.zip: differs from its line in the list" <<< "$verdict" || { echo "$verdict" >&2; exit 1; }
[[ $(grep -o 'SHA256:[0-9a-f]*' <<< "$verdict") == $(grep -o 'SHA256:[0-9a-f]*' keygen.out) ]] ||
    { echo "verify and keygen show different fingerprints" >&2; exit 1; }
echo "sha256sum accepts the written list"

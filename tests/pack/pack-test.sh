#!/bin/bash
# The package tool as a studio meets it: checks of hostile, odd and real-tool packages and of game executables, its
# refusals, the properties and determinism of what it builds, and the package that the pack_roundtrip test installs
# with the real updater.
#   pack-test.sh REPO WORK REAL_TOOL_ARCHIVES BIN_FOLDER ROUNDTRIP_FOLDER   (VORLANCE_PACK: the native tool)
set -uo pipefail
repo=$1 work=$2 archives=$3 bin=$4 roundtrip=$5
export LC_ALL=C.UTF-8
source "$(dirname "$0")/../../scripts/lib/checks.sh"
source "$(dirname "$0")/../../scripts/lib/pack.sh"

# expect_pack CODE TEXT ARGS...: the tool must exit with CODE and print a line holding TEXT.
expect_pack() { expect "$1" "$2" "$pack" "${@:3}"; }

rm -rf "$work" && mkdir -p "$work/hostile" "$work/tool"
pack=$(native_pack "$work/tool") || { echo "cannot build the package tool"; exit 1; }
g++ -std=c++17 -I"$repo" "$repo/tests/pack/make_hostile_packages.cpp" "$repo/tests/archive/zip_test_writer.cpp" -lz \
    -o "$work/make_hostile_packages" && "$work/make_hostile_packages" "$work/hostile" || { echo "no packages"; exit 1; }

echo "== checks of hostile and odd packages"
while IFS='|' read -r file code text; do
    expect_pack "$code" "$text" check "$work/hostile/$file"
done << 'TABLE'
dot-component.zip|0|./readme.txt -> lib\readme.txt
empty-component.zip|1|lib\plugins\\a.dll: an empty folder name
embedded-nul.zip|1|embedded-nul.zip: unsafe path in zip entry 1
climbs-out.zip|1|climbs-out.zip: unsafe path in zip entry 1
reserved-character.zip|1|lib\what?.txt: one of the characters
control-character.zip|1|lib\tab\x09here.txt: a control character
long-component.zip|1|a component longer than 255 characters
encrypted.zip|1|failed extracting secret.dll: unsupported encryption
unsupported-method.zip|1|failed extracting lzma.dll: unsupported method
bad-crc.zip|1|failed extracting bass.dll: decompression failed or archive is corrupted
file-where-folder.zip|1|lib\Plugins\a.dll needs a folder where entry 1 wrote the file lib\plugins
no-entries.zip|1|no-entries.zip: zip archive is empty
leftover-name.zip|1|(1 error(s), 0 warning(s))
leftover-name.zip|1|leftover-name.zip: entry 3: lib\plugins\cfg.old-2024031501 is named as the updater names its leftovers
case-twins.zip|1|data.TXT -> lib\Data.txt
case-twins.zip|1|differ only in case and are one file on Windows: the player would get lib\Data.txt holding entry 2
device-name.zip|1|device-name.zip: entry 1: lib\sub\con.dll: "con.dll" is a device name
superscript-device.zip|1|"LPT².log" is a device name
trailing-dot.zip|1|"notes." ends in a dot or space
mark-name.zip|1|the updater keeps its own mark under this name
folders-only.zip|1|no file, only folders
cp437-name.zip|0|read as code page 437: "├╝ber.txt"; as UTF-8 it would read "über.txt"
no-bass.zip|0|no-bass.zip: no bass*.dll at the top level
expands-far.zip|0|over 100 times its own size
refused-folder-entry.zip|0|lib\odd?: one of the characters < > " | ? * (a folder entry: the updater skips it)
symbolic-link.zip|0|lib\link.dll is a symbolic link; the updater writes it as a small file holding the link's target
attribute-folder.zip|0|(0 error(s), 0 warning(s))
TABLE
expect_pack 1 "warnings are errors with --strict" check "$work/hostile/no-bass.zip" --strict
[[ $("$pack" check --quiet "$work/hostile/no-bass.zip" | grep -c ' -> lib') -eq 0 ]] || fail "--quiet listed entries"
seq 1 100 > "$work/text.zip"
: > "$work/empty.zip"
truncate -s 1100M "$work/huge.zip"
expect_pack 1 "not a valid zip archive: failed finding central directory" check "$work/text.zip"
expect_pack 1 "zip file is empty or unreasonably large" check "$work/empty.zip"
expect_pack 1 "zip file is empty or unreasonably large (1153433600 bytes" check "$work/huge.zip"
rm -f "$work/huge.zip"

echo "== checks of packages made by real zip tools"
while IFS='|' read -r file code text; do
    expect_pack "$code" "$text" check "$archives/$file"
done << 'TABLE'
infozip.zip|0|lib\sub\deeper\
infozip-zip64.zip|0|lib\sub\data.bin
infozip-stream.zip|0|lib\-
python-deflated.zip|0|über €.txt -> lib\über €.txt
python-stored.zip|0|OK: a player's updater installs this
7z.zip|0|lib\über €.txt
bsdtar.zip|0|lib\über €.txt
7z-bzip2.zip|1|failed extracting numbers.txt: unsupported method
TABLE
mkdir -p "$work/studio/plugins" "$work/studio/empty"
printf 'readme\r\n' > "$work/studio/readme.txt"
seq 1 2000 > "$work/studio/bass.dll"
seq 1 500 > "$work/studio/plugins/bassmidi.dll"
printf 'x' > "$work/studio/über €.txt"
(cd "$work/studio" && bsdtar -cf "$work/bsdtar-dot.zip" --format zip . && zip -q -r -X "$work/infozip-utf8.zip" .)
"$pack" check "$work/bsdtar-dot.zip" > "$work/bsdtar-dot.txt"
"$pack" check "$work/infozip-utf8.zip" > "$work/infozip-utf8.txt"
expect_pack 0 "./plugins/bassmidi.dll -> lib\plugins\bassmidi.dll" check "$work/bsdtar-dot.zip"
expect_pack 0 "read as code page 437: \"├╝ber Γé¼.txt\"; as UTF-8 it would read \"über €.txt\"" \
    check "$work/infozip-utf8.zip"

echo "== checks of game executables"
game=$bin/fixture_game.exe
python3 - "$game" "$work" << 'PYTHON'
import struct, sys
image = bytearray(open(sys.argv[1], 'rb').read())
pe = struct.unpack_from('<I', image, 0x3C)[0]
security = pe + 24 + 112 + 4 * 8  # PE32+: data directories start 112 bytes into the optional header
def write(name, data):
    open(f'{sys.argv[2]}/{name}', 'wb').write(data)
arm = bytearray(image); struct.pack_into('<H', arm, pe + 4, 0x01C4); write('arm32.exe', arm)
signed = bytearray(image) + bytes(16); struct.pack_into('<II', signed, security, len(image), 16)
write('signed.exe', signed)
beyond = bytearray(image); struct.pack_into('<II', beyond, security, len(image), 16); write('beyond.exe', beyond)
write('no-pe.exe', b'MZ' + bytes(200000))
write('small.exe', image[:100000])
write('dll.exe', image[:pe + 22] + struct.pack('<H', struct.unpack_from('<H', image, pe + 22)[0] | 0x2000)
      + image[pe + 24:])
PYTHON
package=$work/studio.zip
"$pack" build "$work/studio" "$package" > /dev/null || fail "cannot build a package of $work/studio"
expect_pack 0 "PE32+ x86-64" check "$package" "$game"
expect_pack 1 "carries no Authenticode signature" check "$package" "$game" --strict
expect_pack 0 ", signed" check "$package" "$work/signed.exe" --strict
expect_pack 1 "machine type 0x01C4 is none of x86-64, x86 and ARM64" check "$package" "$work/arm32.exe"
expect_pack 1 "the signature data lies beyond the end of the file" check "$package" "$work/beyond.exe"
expect_pack 1 "no PE signature" check "$package" "$work/no-pe.exe"
expect_pack 1 "more than 100000 bytes (100000 bytes)" check "$package" "$work/small.exe"
expect_pack 1 "not marked as an executable program" check "$package" "$work/dll.exe"
expect_pack 2 "missing.exe: no such file" check "$package" "$work/missing.exe"
expect_pack 2 "is a program and $package a zip package: the package comes first" check "$game" "$package"
"$pack" manifest "$work/bsdtar-dot.zip" "$game" "$work/dot.sums" > /dev/null && grep -q '  lib/plugins/bassmidi.dll$' \
    "$work/dot.sums" || fail "the list of a package made from . does not name lib/plugins/bassmidi.dll"

echo "== diff: what a player with one release installed fetches for the next"
rm -rf "$work/v1" "$work/v2" && cp -R "$work/studio" "$work/v1" && head -c 1000000 /dev/urandom > "$work/v1/big.dll"
cp -R "$work/v1" "$work/v2" && seq 1 2100 > "$work/v2/bass.dll" && printf 'new' > "$work/v2/plugins/new.dll"
rm "$work/v2/readme.txt"
"$pack" build "$work/v1" "$work/v1.zip" > /dev/null && "$pack" build "$work/v2" "$work/v2.zip" > /dev/null ||
    fail "cannot build the two releases"
expect_pack 0 "changed lib\bass.dll" diff "$work/v1.zip" "$work/v2.zip"
expect_pack 0 "added   lib\plugins\new.dll" diff "$work/v1.zip" "$work/v2.zip"
expect_pack 0 "removed lib\readme.txt" diff "$work/v1.zip" "$work/v2.zip"
expect_pack 0 "unchanged: 3 file(s)" diff "$work/v1.zip" "$work/v2.zip"
expect_pack 0 "entries: " diff "$work/v1.zip" "$work/v2.zip"
expect_pack 0 "the updater patches: " diff "$work/v1.zip" "$work/v2.zip"
expect_pack 0 "unchanged: 5 file(s)" diff "$work/v2.zip" "$work/v2.zip"
# The large file changed: its bytes and a request cost more than the whole package.
head -c 1000000 /dev/urandom > "$work/v2/big.dll" && "$pack" build "$work/v2" "$work/v3.zip" > /dev/null
expect_pack 0 "the updater fetches the whole package" diff "$work/v1.zip" "$work/v3.zip"
expect_pack 1 "bad-crc.zip: failed extracting bass.dll: decompression failed" \
    diff "$work/v1.zip" "$work/hostile/bad-crc.zip"
expect_pack 2 "diff takes the installed release and the new one" diff "$work/v1.zip"

echo "== diff: what each player pays for a release, in total"
# A small unchanged file between an added and a changed one is fetched with them, in one request.
rm -rf "$work/v4" "$work/r1" "$work/r2" && cp -R "$work/v2" "$work/v4" && mkdir -p "$work/r1" "$work/r2"
printf 'first' > "$work/v4/plugins/aaa.dll" && printf 'changed' > "$work/v4/plugins/new.dll"
"$pack" build "$work/v2" "$work/r1/lib.zip" > /dev/null && "$pack" build "$work/v4" "$work/r2/lib.zip" > /dev/null &&
    cp "$game" "$work/r1/game.exe" && cp "$work/signed.exe" "$work/r2/game.exe" || fail "cannot lay out two releases"
for r in 1 2; do
    "$pack" manifest --release $r "$work/r$r/lib.zip" "$work/r$r/game.exe" "$work/r$r/SHA256SUMS" > /dev/null
done
out=$("$pack" diff "$work/r1" "$work/r2")
list=$(stat -c %s "$work/r2/SHA256SUMS") game_bytes=$(stat -c %s "$work/r2/game.exe.gz")
libraries=$(sed -n 's/^libraries: \([0-9]*\) bytes in.*/\1/p' <<< "$out")
total=$(sed -n 's/^total: \([0-9]*\) bytes in 4 request(s).*/\1/p' <<< "$out")
for line in "carried lib\plugins\bassmidi.dll" "list: $list bytes in 1 request" \
    "game: $game_bytes bytes in 1 request (changed, game.exe.gz)"; do
    grep -qF "$line" <<< "$out" || fail "diff of two releases: no line with $line"$'\n'"$out"
done
[[ -n $libraries && $libraries -lt $(stat -c %s "$work/r2/lib.zip") && $total -eq $((list + game_bytes + libraries)) ]] ||
    fail "diff's total is not the list, the game and the patch"$'\n'"$out"
expect_pack 0 "total: $list bytes in 1 request(s)" diff "$work/r2" "$work/r2"
printf 'x' >> "$work/r1/game.exe"
expect_pack 1 "r1/game.exe differs from its line in $work/r1/SHA256SUMS" diff "$work/r2" "$work/r1"

echo "== usage"
expect_pack 2 "usage: pack check" check
expect_pack 2 "unknown option --fast" check "$package" --fast
expect_pack 2 "unknown command frob" frob
expect_pack 2 "build takes a folder and a package" build "$work/studio"
expect_pack 2 "studio.zip is not a folder" build "$package" "$work/studio"
expect_pack 2 "missing: no such folder" build "$work/missing" "$work/x.zip"
expect_pack 2 "no-such.zip: no such file" check "$work/no-such.zip"
expect_pack 0 "usage: pack check" --help
expect_pack 0 "the package tool of the Vorlance updater" --version

echo "== build refuses what the updater would not install as meant"
refuse() {
    local text=$1 folder=$work/refuse
    shift
    rm -rf "$folder" "$work/refused.zip" && mkdir -p "$folder" && printf 'x' > "$folder/bass.dll"
    (cd "$folder" && "$@")
    expect_pack 1 "$text" build "$folder" "$work/refused.zip"
    [[ ! -e $work/refused.zip ]] || fail "a refused build left $work/refused.zip"
}
refuse "a symbolic link" ln -s bass.dll link.dll
refuse "a symbolic link" ln -s /etc linked-folder
refuse "one of the characters" touch 'what?.txt'
refuse "the name holds a backslash" touch 'a\b.dll'
refuse "the name is not valid Unicode" touch "$(printf 'caf\xe9.txt')"
refuse "neither a file nor a folder" mkfifo pipe
refuse "the updater refuses this name" touch 'drive:c.dll'
refuse "is named as the updater names its leftovers" touch 'cfg.old-2024031501'
for name in aux.txt com1.dll 'com¹.dll' 'lpt².log' 'CON .dll'; do refuse '" is a device name' touch "$name"; done
refuse "ends in a dot or space" touch 'notes.'
refuse "ends in a dot or space" mkdir 'folder '
refuse "is the name of the updater's own mark" touch vorlance-updater-complete.txt
refuse "the names differ only in case" touch A.dll a.dll

echo "== a failed build leaves the last good package, and nothing of its own"
"$pack" build "$work/studio" "$work/keep.zip" > /dev/null && cp "$work/keep.zip" "$work/keep.before"
rm -rf "$work/bad" && cp -R "$work/studio" "$work/bad" && touch "$work/bad/aux.txt" && mkdir -p "$work/folders/empty"
expect_pack 1 "FAILED: nothing written, $work/keep.zip is unchanged" build "$work/bad" "$work/keep.zip"
expect_pack 1 "no file, only folders" build "$work/folders" "$work/keep.zip"
cmp -s "$work/keep.zip" "$work/keep.before" || fail "a failed build changed the last good package"
[[ -z $(find "$work" -maxdepth 1 -name '*partial*') ]] || fail "a failed build left a temporary file"

echo "== build: the desktop's files skipped, symbols and git warned about"
rm -rf "$work/junk" && mkdir -p "$work/junk/.git" "$work/junk/sub" && printf 'x' > "$work/junk/bass.dll"
touch "$work/junk/.DS_Store" "$work/junk/sub/Thumbs.db" "$work/junk/Desktop.ini" "$work/junk/.git/HEAD" "$work/junk/a.PDB"
out=$("$pack" build "$work/junk" "$work/junk.zip")
for line in "note: skipped $work/junk/sub/Thumbs.db" "junk/.git: a git repository's own folder" "junk/a.PDB: debugging"; do
    grep -qF "$line" <<< "$out" || fail "build of a folder with the desktop's files: no line with $line"
done
[[ $(unzip -Z1 "$work/junk.zip" | tr '\n' ' ') == ".git/HEAD a.PDB bass.dll sub/ " ]] ||
    fail "the desktop's files were packed: $(unzip -Z1 "$work/junk.zip" | tr '\n' ' ')"
rm -rf "$work/nothing" && mkdir -p "$work/nothing"
expect_pack 1 "nothing to pack" build "$work/nothing" "$work/refused.zip"
expect_pack 1 "must not be written inside the folder" build "$work/studio" "$work/studio/sub/lib.zip"

echo "== build: what it writes, twice alike"
tree=$roundtrip/tree
rm -rf "$roundtrip" && mkdir -p "$tree/plugins/deep/er" "$tree/Ünïcødé €" "$tree/empty" "$tree/data/cache"
head -c 30000 /dev/urandom > "$tree/bass.dll"
seq 1 5000 > "$tree/bass_fx.dll"
seq 1 800 > "$tree/plugins/deep/er/bassmidi.dll"
for i in $(seq 1 50); do echo 'ファイル'; done > "$tree/Ünïcødé €/ファイル.txt"
: > "$tree/zero.txt"
expect_pack 0 "OK: a player's updater installs this (0 error(s), 0 warning(s))" build "$tree" "$roundtrip/lib.zip"
expect_pack 0 "OK" check "$roundtrip/lib.zip" --strict
# The same content in another folder, made in another order at another time, gives the same bytes.
other=$work/elsewhere/another-name
mkdir -p "$other" && for path in zero.txt "Ünïcødé €" data empty plugins bass_fx.dll bass.dll; do
    cp -R "$tree/$path" "$other/"
done
touch -d '2001-02-03' "$other"/*
"$pack" build "$other" "$work/again.zip" > /dev/null || fail "the second build failed"
cmp "$roundtrip/lib.zip" "$work/again.zip" || fail "two builds of one folder differ"
python3 - "$roundtrip/lib.zip" "$tree" << 'PYTHON' || fail "the built package is not what the folder holds"
import os, sys, zipfile
package, tree = sys.argv[1], sys.argv[2]
archive = zipfile.ZipFile(package)
infos = archive.infolist()
names = [info.filename for info in infos]
expected = {'bass.dll', 'bass_fx.dll', 'plugins/deep/er/bassmidi.dll', 'Ünïcødé €/ファイル.txt', 'zero.txt',
            'empty/', 'data/cache/'}
problems = []
if set(names) != expected:
    problems.append(f'entries {sorted(names)}')
if [n.encode() for n in names] != sorted(n.encode() for n in names):
    problems.append('entries are not sorted')
for info in infos:
    ascii_name = info.filename.isascii()
    if bool(info.flag_bits & 0x0800) == ascii_name:
        problems.append(f'{info.filename}: UTF-8 flag {info.flag_bits:#x}')
    if info.date_time != (1980, 1, 1, 0, 0, 0) or info.extra or info.comment:
        problems.append(f'{info.filename}: time {info.date_time}, extra {info.extra!r}, comment {info.comment!r}')
    if info.filename.endswith('/'):
        continue
    data = archive.read(info)
    if data != open(os.path.join(tree, info.filename), 'rb').read():
        problems.append(f'{info.filename}: content differs')
    wanted = zipfile.ZIP_STORED if info.filename in ('bass.dll', 'zero.txt') else zipfile.ZIP_DEFLATED
    if info.compress_type != wanted:
        problems.append(f'{info.filename}: method {info.compress_type}')
print('\n'.join(problems))
sys.exit(1 if problems else 0)
PYTHON

echo "== build: more entries than the classic end record counts (zip64 end records)"
mkdir -p "$work/many/f" && (cd "$work/many/f" && seq -f '%05g' 0 65535 | xargs touch) && printf 'x' > "$work/many/bass.dll"
expect_pack 0 "OK: a player's updater installs this" build "$work/many" "$work/many.zip"
python3 -c 'import sys, zipfile; sys.exit(len(zipfile.ZipFile(sys.argv[1]).infolist()) != 65537)' "$work/many.zip" ||
    fail "Python's zipfile does not read the 65537 entries"

echo "== $failures failure(s)"
[[ $failures -eq 0 ]]

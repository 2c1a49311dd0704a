#!/bin/bash
# The forms of game.exe that pack manifest writes beside the list: game.exe.gz as gzip -d reads it, and deltas that
# the tool's applier (the updater's rules) turns into the release's game; what verify and apply-delta refuse,
# against deltas written by hand to the format; with the Windows build, the same .gz bytes and the same game.
#   forms_check.sh WORK [WINE_RUN WINDOWS_TOOL]   (VORLANCE_PACK: the native tool, built here when missing)
set -uo pipefail
work=$1 wine_run=${2:-} windows_pack=${3:-}
source "$(dirname "$0")/../../scripts/lib/checks.sh"
source "$(dirname "$0")/../../scripts/lib/pack.sh"

rm -rf "$work" && mkdir -p "$work/release" "$work/hand" && cd "$work" || exit 1
pack=$(native_pack "$work/tool") || { echo "cannot build the package tool"; exit 1; }
python3 - << 'PY' || exit 1
import hashlib, os, random, struct, zipfile, zlib
rng = random.Random(7)
# Three releases of a program: code that does not compress, whose later builds insert and drop code (moving what
# follows) and change the addresses that point across the change, as a rebuild does.
code = bytearray(rng.randbytes(600000))
releases = []
for change in range(3):
    at = 100000 + 150000 * change
    code[at:at] = rng.randbytes(3000)
    del code[at + 40000:at + 41000]
    for pointer in range(at, len(code) - 4, 997):
        code[pointer:pointer + 4] = struct.pack('<I', (struct.unpack_from('<I', code, pointer)[0] + 2000) & 0xFFFFFFFF)
    releases.append(b'MZ' + bytes(code))
for i, name in enumerate(['v1.exe', 'v2.exe', 'release/game.exe']):
    open(name, 'wb').write(releases[i])
with zipfile.ZipFile('release/lib.zip', 'w') as z:
    z.writestr('bass.dll', b'bass')

# Deltas by hand, each with what apply-delta must say: old is "0123456789", and the good one makes "012xy88/" (add 3,
# copy "xy", seek +4, add 2 with differences 1 and 0, seek -9, add 1 with difference -1).
old = b'0123456789'
open('hand/old', 'wb').write(old)
def record(add, copy, seek):
    return struct.pack('<QQq', add, copy, seek)
good = [record(3, 2, 4), record(2, 0, -9), record(1, 0, 0)]
def delta(name, records=good, diff=b'\0\0\0\1\0\xff', extra=b'xy', new=b'012xy88/', size=None, tail=b'',
          reserved=b'\0' * 32, control=None):
    streams = [control if control is not None else zlib.compress(b''.join(records), 9),
               zlib.compress(diff, 9), zlib.compress(extra, 9)]
    header = (b'VORDLT01' + struct.pack('<Q', len(old)) + hashlib.sha256(old).digest() +
              struct.pack('<Q', len(new) if size is None else size) + hashlib.sha256(new).digest() +
              struct.pack('<QQQ', *map(len, streams)) + reserved)
    open('hand/' + name, 'wb').write(header + b''.join(streams) + tail)
delta('good')
delta('reads-past-old', [record(3, 2, 4), record(4, 0, 0)], diff=b'\0' * 7, new=b'012xy7890')
delta('reads-before-old', [record(0, 0, -1), record(1, 0, 0)], diff=b'\0', extra=b'', new=b'0')
delta('writes-past-new', size=7)
delta('ends-before-new', size=9)
delta('half-record', control=zlib.compress(b''.join(good)[:-1], 9))
delta('difference-left', diff=b'\0\0\0\1\0\xff\0')
delta('extra-left', extra=b'xyz')
delta('bytes-after', tail=b'\0')
delta('reserved', reserved=b'\1' + b'\0' * 31)
delta('other-result', diff=b'\0\0\0\1\0\0')
delta('stream-cut', control=zlib.compress(b''.join(good), 9)[:-2])
delta('stream-trailing', control=zlib.compress(b''.join(good), 9) + b'\0')
PY

echo "== manifest writes game.exe.gz and a delta from each --from, and lists them"
out=$("$pack" manifest --release 3 --from v1.exe --from v2.exe release/lib.zip release/game.exe release/SHA256SUMS)
name() { echo "game.exe.from-$(sha256sum "$1" | cut -c1-16)"; }
for form in game.exe.gz "$(name v1.exe)" "$(name v2.exe)"; do
    grep -q "  $form\$" release/SHA256SUMS || fail "the list names no $form"$'\n'"$out"
done
(cd release && unzip -q lib.zip -d lib && sha256sum --check --strict --quiet SHA256SUMS) || fail "sha256sum refuses the list"
gzip -dc release/game.exe.gz | cmp -s - release/game.exe || fail "gzip -d does not give game.exe back"
gz=$(stat -c %s release/game.exe.gz) gzip9=$(gzip -9 -n -c release/game.exe | wc -c)
((gz * 100 <= gzip9 * 102)) || fail "game.exe.gz is $gz bytes, over 1.02 times gzip -9's $gzip9"
for from in v1.exe v2.exe; do
    expect 0 "wrote $from.new" "$pack" apply-delta "$from" "release/$(name "$from")" "$from.new"
    cmp -s "$from.new" release/game.exe || fail "the delta from $from does not make game.exe"
done
# The new code's 3000 bytes and a few for each changed address, not the whole program again.
size=$(stat -c %s "release/$(name v2.exe)")
((size < 6000)) || fail "the delta from the release before is $size bytes"
expect 1 "is this release's game itself" "$pack" manifest --from release/game.exe release/lib.zip release/game.exe x.sums
expect 2 "the output release/game.exe.gz is the input" "$pack" manifest release/lib.zip release/game.exe.gz release/x

echo "== diff gives each player's game; verify checks every listed form"
mkdir -p before && cp v2.exe before/game.exe && cp release/lib.zip before/
expect 0 "game: $size bytes in 1 request (changed, the delta from the installed game)" "$pack" diff before release
expect 0 "game for players of any other release: $gz bytes" "$pack" diff before release
"$pack" keygen key.pem key.pub > /dev/null && "$pack" sign release/SHA256SUMS key.pem > /dev/null
expect 0 "matches the list: release/$(name v1.exe)" "$pack" verify release/SHA256SUMS key.pub release
cp release/game.exe.gz saved.gz && cp "release/$(name v1.exe)" saved.delta && printf 'x' >> release/game.exe.gz
expect 1 "game.exe.gz: differs from its line in the list (players' updaters fetch it, refuse it" \
    "$pack" verify release/SHA256SUMS key.pub release
# A form whose bytes the list vouches for but that gives players another game: caught by what it holds.
gzip -9 -n -c v1.exe > release/game.exe.gz && cp "release/$(name v2.exe)" "release/$(name v1.exe)"
sed -i -e "s/^[0-9a-f]*  game.exe.gz\$/$(sha256sum < release/game.exe.gz | cut -c1-64)  game.exe.gz/" \
    -e "s/^[0-9a-f]*  $(name v1.exe)\$/$(sha256sum < "release/$(name v1.exe)" | cut -c1-64)  $(name v1.exe)/" \
    release/SHA256SUMS && "$pack" sign release/SHA256SUMS key.pem > /dev/null
expect 1 "game.exe.gz: does not unpack to the listed game.exe" "$pack" verify release/SHA256SUMS key.pub release
expect 1 "$(name v1.exe): is a delta from the game whose SHA-256 is $(sha256sum < v2.exe | cut -c1-64)" \
    "$pack" verify release/SHA256SUMS key.pub release
cp saved.gz release/game.exe.gz && cp saved.delta "release/$(name v1.exe)"

echo "== apply-delta follows the format and refuses every damage"
expect 0 "wrote hand/new" "$pack" apply-delta hand/old hand/good hand/new
[[ $(cat hand/new) == "012xy88/" ]] || fail "the hand-made delta made '$(cat hand/new)'"
while IFS='|' read -r file text; do
    expect 1 "$text" "$pack" apply-delta hand/old "hand/$file" hand/out
    [[ ! -e hand/out ]] || { fail "$file left an output"; rm hand/out; }
done << 'TABLE'
reads-past-old|reads outside the old file
reads-before-old|reads outside the old file
writes-past-new|writes past the new file's size
ends-before-new|ends before the new file does
half-record|ends inside a record
difference-left|holds more than the control stream uses
extra-left|holds more than the control stream uses
bytes-after|bytes after its extra stream
reserved|reserved header bytes are not zero
other-result|another SHA-256 than its header states
stream-cut|the control stream is damaged
stream-trailing|the control stream is damaged
TABLE
expect 1 "not the game this delta is from" "$pack" apply-delta v1.exe hand/good hand/out
expect 2 "the output hand/old is the input hand/old" "$pack" apply-delta hand/old hand/good hand/old

if [[ -n $windows_pack ]]; then
    echo "== the Windows tool: the same game.exe.gz, the same game from a delta, no delta of its own"
    mkdir -p windows && cp release/lib.zip release/game.exe windows/
    expect 0 "wrote windows/SHA256SUMS" "$wine_run" "$windows_pack" manifest windows/lib.zip windows/game.exe \
        windows/SHA256SUMS
    cmp -s windows/game.exe.gz saved.gz || fail "the Windows tool's game.exe.gz differs from the native tool's"
    expect 0 "wrote windows/v1.new" "$wine_run" "$windows_pack" apply-delta v1.exe "release/$(name v1.exe)" \
        windows/v1.new
    cmp -s windows/v1.new release/game.exe 2> /dev/null || fail "the Windows tool's delta result differs"
    expect 2 "--from is available in the native tool only" "$wine_run" "$windows_pack" manifest --from v1.exe \
        windows/lib.zip windows/game.exe windows/SHA256SUMS
fi

[[ $failures -eq 0 ]] && echo "forms: every check passed" || echo "$failures check(s) failed"
[[ $failures -eq 0 ]]

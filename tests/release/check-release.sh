#!/bin/bash
# Builds the shipped VorlanceUpdater.exe twice, in two fresh folders, the way a studio's release build does, and
# checks what a player's machine and the studio rely on: the two builds are the same bytes, the executable is
# stripped, and it imports nothing but Windows' own DLLs. Prints its size.
#
#   check-release.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=${1:?usage: check-release.sh SOURCE_DIR WORK_DIR}
work=${2:?}
rm -rf "$work"
mkdir -p "$work"

build() {
    cmake -S "$source_dir" -B "$1" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DVORLANCE_BUILD_TESTS=OFF >/dev/null
    cmake --build "$1" --target VorlanceUpdater >/dev/null
}
build "$work/first"
build "$work/a-second-build-folder"
first=$work/first/bin/VorlanceUpdater.exe
second=$work/a-second-build-folder/bin/VorlanceUpdater.exe

status=0
if cmp -s "$first" "$second"; then
    echo "reproducible: two clean builds give the same $(sha256sum <"$first" | cut -c1-16)... bytes"
else
    echo "NOT reproducible: two clean builds differ" >&2
    cmp -l "$first" "$second" | head -5 >&2
    status=1
fi

# Windows' own DLLs, which every supported Windows has; anything else would have to ship beside the updater.
allowed=" kernel32.dll user32.dll gdi32.dll comctl32.dll wininet.dll bcrypt.dll advapi32.dll shell32.dll ole32.dll msvcrt.dll "
imports=$(x86_64-w64-mingw32-objdump -p "$first" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports: $(echo $imports)"
for dll in $imports; do
    case "$allowed" in
        *" $dll "*) ;;
        *) echo "imports a DLL that is not part of Windows: $dll" >&2; status=1 ;;
    esac
done

if x86_64-w64-mingw32-objdump -t "$first" 2>/dev/null | grep -q 'scl'; then
    echo "the release executable still carries symbols" >&2
    status=1
fi
echo "size: $(stat -c %s "$first") bytes"
exit $status

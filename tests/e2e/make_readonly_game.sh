#!/bin/bash
# Lays out <folder> as a game folder the test user may not write to: the updater, a game, its arguments and one
# library, afresh each run, and beside it <folder>-SHA256SUMS, the list of that very installation as sha256sum writes
# it. Wine has no call that takes a folder's write permission away, so this is done on the Linux side.
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/game.sh"
folder=$1
# The game cannot write its record into the folder: it writes it beside it.
lay_out_game "$folder" "$2" "$3" "--stay 0 --record ..\\$(basename "$folder")-launched.txt"
mkdir -p "$folder/lib"
printf 'bass v1' > "$folder/lib/bass.dll"
(cd "$folder" && sha256sum vorlance.exe lib/bass.dll) | sed 's| vorlance.exe$| game.exe|' > "$folder-SHA256SUMS"
echo "$(printf '%064d' 0)  lib.zip" >> "$folder-SHA256SUMS"
chmod -R a-w "$folder"

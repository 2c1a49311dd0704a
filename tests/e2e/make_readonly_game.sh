#!/bin/sh
# Lays out <folder> as a game folder the test user may not write to: the updater, a game, its arguments and one
# library, afresh each run, and beside it <folder>-SHA256SUMS, the list of that very installation as sha256sum writes
# it. Wine has no call that takes a folder's write permission away, so this is done on the Linux side.
set -e
folder=$1
[ -d "$folder" ] && chmod -R u+w "$folder"
rm -rf "$folder"
mkdir -p "$folder/lib"
cp "$2" "$folder/VorlanceUpdater.exe"
cp "$3" "$folder/vorlance.exe"
printf 'bass v1' > "$folder/lib/bass.dll"
# The game cannot write its record into the folder: it writes it beside it.
printf '%s\n' "--stay 0 --record ..\\$(basename "$folder")-launched.txt" > "$folder/fixture_args.txt"
(cd "$folder" && sha256sum vorlance.exe lib/bass.dll) | sed 's| vorlance.exe$| game.exe|' > "$folder-SHA256SUMS"
echo "$(printf '%064d' 0)  lib.zip" >> "$folder-SHA256SUMS"
chmod -R a-w "$folder"

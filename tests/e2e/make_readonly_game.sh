#!/bin/sh
# Lays out <folder> as a game folder the test user may not write to: the updater, a game and its arguments, afresh
# each run. Wine has no call that takes a folder's write permission away, so this is done on the Linux side.
set -e
folder=$1
[ -d "$folder" ] && chmod -R u+w "$folder"
rm -rf "$folder"
mkdir -p "$folder"
cp "$2" "$folder/VorlanceUpdater.exe"
cp "$3" "$folder/vorlance.exe"
echo "--stay 0 --record launched.txt" > "$folder/fixture_args.txt"
chmod a-w "$folder"

#!/bin/sh
# Lays out <case>/lib/{a.dll, link -> <case>/outside} and <case>/outside/precious.txt, afresh each run.
set -e
case_dir=$1
rm -rf "$case_dir"
mkdir -p "$case_dir/lib" "$case_dir/outside"
echo precious > "$case_dir/outside/precious.txt"
echo library > "$case_dir/lib/a.dll"
ln -s "$case_dir/outside" "$case_dir/lib/link"

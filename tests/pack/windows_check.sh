#!/bin/bash
# The Windows build of the package tool builds the folder that the native tool built the roundtrip package from: the
# package it writes passes its own strict check and is the native tool's package byte for byte.
#   windows_check.sh WINE_RUN WINDOWS_TOOL ROUNDTRIP_FOLDER
set -euo pipefail
wine_run=${1:?usage: windows_check.sh WINE_RUN WINDOWS_TOOL ROUNDTRIP_FOLDER}
tool=${2:?}
roundtrip=${3:?}
"$wine_run" "$tool" build "$roundtrip/tree" "$roundtrip/windows.zip"
"$wine_run" "$tool" check "$roundtrip/windows.zip" --strict
cmp "$roundtrip/lib.zip" "$roundtrip/windows.zip"

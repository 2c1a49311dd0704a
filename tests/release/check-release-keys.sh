#!/bin/bash
# The configure-time check of UPDATER_RELEASE_KEYS, run through CMake's script mode: a P-256 public key PEM passes,
# everything else stops configuring with a message that names the file.
#   check-release-keys.sh SOURCE_DIR WORK_DIR
set -uo pipefail
source_dir=$1 work=$2
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
cat > check.cmake << EOF2
include($source_dir/cmake/release_keys.cmake)
vorlance_check_release_key(UPDATER_RELEASE_KEYS "\${FILE}")
EOF2
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out p256.pem 2> /dev/null &&
    openssl pkey -in p256.pem -pubout -out p256.pub &&
    openssl pkey -in p256.pem -pubout -ec_conv_form compressed -out compressed.pub &&
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out p384.pem 2> /dev/null &&
    openssl pkey -in p384.pem -pubout -out p384.pub || { echo "openssl cannot make keys"; exit 1; }
{ echo "read EC key"; cat p256.pub; } > text-before.pub

failures=0
while IFS='|' read -r file accepted text; do
    # CMake wraps its messages; the checks read them as one line.
    out=$(cmake -DFILE="$work/$file" -P check.cmake 2>&1 | tr -s ' \n' '  ')
    status=${PIPESTATUS[0]}
    if [[ $accepted == yes && $status -ne 0 ]] || [[ $accepted == no && ($status -eq 0 || $out != *"$text"*) ]]; then
        echo "FAIL: $file: status $status, wanted ${accepted/no/a refusal with: $text}"
        sed 's/^/    /' <<< "$out"
        failures=$((failures + 1))
    fi
done << 'TABLE'
p256.pub|yes|
missing.pub|no|no such key file
p256.pem|no|p256.pem is not a P-256 public key
compressed.pub|no|compressed.pub is not a P-256 public key
p384.pub|no|p384.pub is not a P-256 public key
text-before.pub|no|text-before.pub is not a P-256 public key
TABLE
[[ $failures -eq 0 ]] && echo "release keys: every check passed"
[[ $failures -eq 0 ]]

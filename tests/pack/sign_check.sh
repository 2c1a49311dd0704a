#!/bin/bash
# The package tool's signature commands against openssl, both ways, and what verify refuses; with the Windows build
# of the tool, the same verdicts from its BCrypt check, the one the updater uses.
#   sign_check.sh REPO WORK [WINE_RUN WINDOWS_TOOL]   (VORLANCE_PACK: the native tool, built here when missing)
set -uo pipefail
repo=$1 work=$2 wine_run=${3:-} windows_pack=${4:-}
source "$(dirname "$0")/../../scripts/lib/checks.sh"
source "$(dirname "$0")/../../scripts/lib/pack.sh"

rm -rf "$work" && mkdir -p "$work/changed" && cd "$work" || exit 1
pack=$(native_pack "$work/tool") || { echo "cannot build the package tool"; exit 1; }
digest() { printf "%064d" 0 | tr 0 "$1"; }
printf '%s  game.exe\n%s  lib.zip\n%s  lib/bass.dll\n' "$(digest a)" "$(digest b)" "$(digest c)" > SHA256SUMS
printf '%s  game.exe\n%s  lib.zip\n%s  lib/bass.dll\n' "$(digest a)" "$(digest b)" "$(digest d)" > changed/SHA256SUMS
echo "not a list" > notes.txt
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out openssl.pem 2> /dev/null &&
    openssl pkey -in openssl.pem -pubout -out openssl.pub &&
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out p384.pem 2> /dev/null &&
    openssl pkey -in p384.pem -pubout -out p384.pub || { echo "openssl cannot make keys"; exit 1; }

# One fingerprint for a key wherever it is shown: the SHA-256 of the public point as openssl stores it.
point_hash() { echo "SHA256:$(openssl pkey -pubin -in "$1" -outform DER | tail -c 65 | sha256sum | cut -c1-64)"; }

echo "== keygen"
made=$("$pack" keygen studio.pem studio.pub)
grep -qF "wrote studio.pem" <<< "$made" && grep -qF "key fingerprint $(point_hash studio.pub)" <<< "$made" ||
    fail "keygen said: $made"
[[ $(stat -c %a studio.pem) == 600 ]] || fail "the private key is readable by others: $(stat -c %a studio.pem)"
before=$(sha256sum studio.pem)
expect 1 "studio.pem exists" "$pack" keygen studio.pem new.pub
[[ ! -e new.pub && $(sha256sum studio.pem) == "$before" ]] || fail "keygen touched files after refusing"

echo "== pack sign, openssl verifies; openssl signs, pack verifies"
expect 0 "wrote SHA256SUMS.sig" "$pack" sign SHA256SUMS studio.pem
[[ ! -e SHA256SUMS.sig.partial ]] || fail "the temporary signature was left behind"
openssl dgst -sha256 -verify studio.pub -signature SHA256SUMS.sig SHA256SUMS > /dev/null ||
    fail "openssl refuses the signature pack wrote"
expect 0 "no release line: updaters that have recorded a release refuse this list" "$pack" verify SHA256SUMS studio.pub
expect 0 "key fingerprint $(point_hash studio.pub)" "$pack" sign SHA256SUMS studio.pem
expect 0 "key fingerprint $(point_hash studio.pub)" "$pack" verify SHA256SUMS studio.pub
mkdir released && { echo "# release 20261208123456"; cat SHA256SUMS; } > released/SHA256SUMS
expect 0 "wrote released/SHA256SUMS.sig" "$pack" sign released/SHA256SUMS studio.pem
expect 0 "signature, release 20261208123456" "$pack" verify released/SHA256SUMS studio.pub
openssl dgst -sha256 -sign openssl.pem -out SHA256SUMS.sig SHA256SUMS
expect 0 "OK" "$pack" verify SHA256SUMS openssl.pub
cp SHA256SUMS.sig good.sig

echo "== what verify and sign refuse"
expect 1 "is not a signature of SHA256SUMS by studio.pub" "$pack" verify SHA256SUMS studio.pub
cp good.sig changed/SHA256SUMS.sig
expect 1 "is not a signature of" "$pack" verify changed/SHA256SUMS openssl.pub
head -c -1 good.sig > SHA256SUMS.sig
expect 1 "not an ECDSA signature in strict DER form" "$pack" verify SHA256SUMS openssl.pub
{ cat good.sig; printf '\0'; } > SHA256SUMS.sig
expect 1 "not an ECDSA signature in strict DER form" "$pack" verify SHA256SUMS openssl.pub
rm SHA256SUMS.sig
expect 1 "no signature: SHA256SUMS.sig" "$pack" verify SHA256SUMS openssl.pub
cp good.sig SHA256SUMS.sig
expect 1 "is not a P-256 public key" "$pack" verify SHA256SUMS p384.pub
openssl dgst -sha256 -sign openssl.pem -out notes.txt.sig notes.txt
expect 1 "notes.txt: the updater refuses this list: line 1: not \"<64 hex digits>  <path>\"" \
    "$pack" verify notes.txt openssl.pub
rm notes.txt.sig
expect 1 "nothing signed" "$pack" sign notes.txt studio.pem
{ cat SHA256SUMS; echo "$(digest e)  lib/../x.dll"; } > climbs
expect 1 "line 4: lib/../x.dll: a path that leaves lib" "$pack" sign climbs studio.pem
{ echo "# release 999999999999999999"; cat SHA256SUMS; } > far
expect 1 "lies more than a day beyond the current UTC time" "$pack" sign far studio.pem
[[ ! -e climbs.sig && ! -e far.sig ]] || fail "a refused list was signed"
expect 2 "SHA256SUMS.sig is the input SHA256SUMS.sig; it would be overwritten" "$pack" sign SHA256SUMS SHA256SUMS.sig
[[ ! -e notes.txt.sig ]] || fail "a signature was written for a list the updater refuses"
# A release line the updater would not read turns every updater with a newer release away: never signed.
{ echo "#Release 042"; cat SHA256SUMS; } > malformed && { cat SHA256SUMS; echo "# release 5"; } > misplaced
expect 1 "malformed release line" "$pack" sign malformed studio.pem
expect 1 "malformed release line" "$pack" sign misplaced studio.pem
[[ ! -e malformed.sig && ! -e misplaced.sig ]] || fail "a list with a malformed release line was signed"
expect 1 "not a P-256 private key" "$pack" sign SHA256SUMS p384.pem
cmp -s good.sig SHA256SUMS.sig || fail "a refused sign replaced the signature"
expect 2 "verify takes a checksum list, a public key" "$pack" verify SHA256SUMS

echo "== an encrypted key, its passphrase from a file or the environment"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -aes-256-cbc -pass pass:open-sesame -out locked.pem &&
    printf 'open-sesame\n' > pass.txt && cp SHA256SUMS locked.sums || fail "openssl cannot make an encrypted key"
expect 0 "wrote locked.sums.sig" "$pack" sign --passin file:pass.txt locked.sums locked.pem
PACK_PASS=open-sesame expect 0 "replaced locked.sums.sig" "$pack" sign --passin env:PACK_PASS locked.sums locked.pem
PACK_PASS=wrong expect 1 "that the passphrase opens" "$pack" sign --passin env:PACK_PASS locked.sums locked.pem
expect 2 "the environment variable is not set" "$pack" sign --passin env:PACK_UNSET locked.sums locked.pem
expect 2 "unknown command" "$pack" signs SHA256SUMS studio.pem

if [[ -n $windows_pack ]]; then
    echo "== the Windows tool: BCrypt gives the same verdicts"
    expect 0 "OK" "$wine_run" "$windows_pack" verify SHA256SUMS openssl.pub
    expect 0 "release 20261208123456" "$wine_run" "$windows_pack" verify released/SHA256SUMS studio.pub
    expect 1 "is not a signature of" "$wine_run" "$windows_pack" verify SHA256SUMS studio.pub
    expect 1 "is not a signature of" "$wine_run" "$windows_pack" verify changed/SHA256SUMS openssl.pub
    expect 2 "native tool only" "$wine_run" "$windows_pack" sign SHA256SUMS studio.pem
fi

[[ $failures -eq 0 ]] && echo "signing: every check passed" || echo "$failures check(s) failed"
[[ $failures -eq 0 ]]

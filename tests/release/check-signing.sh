#!/bin/bash
# Signs a release build with a throwaway code-signing certificate, the way a studio's signed release does, and checks
# that osslsigncode accepts the signature against that certificate, that a failed signing leaves no executable,
# that signing the same build again at the same fixed time gives the same bytes, and that the signed updater still
# runs a whole update from the test mirror.
#
#   check-signing.sh SOURCE_DIR WORK_DIR BIN_DIR MIRROR_ROOT WINE_RUN PRIMARY_URL FALLBACK_URL
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/game.sh"
source_dir=${1:?usage: check-signing.sh SOURCE_DIR WORK_DIR BIN_DIR MIRROR_ROOT WINE_RUN PRIMARY_URL FALLBACK_URL}
work=${2:?}
bin=${3:?}
root=${4:?}
wine_run=${5:?}
rm -rf "$work"
mkdir -p "$work/keys"
keys=$work/keys

printf 'a throwaway password\n' >"$keys/password.txt"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/key.pem" -out "$keys/cert.pem" -days 2 \
    -subj "/CN=Vorlance Test Signer" -addext "basicConstraints=critical,CA:FALSE" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" -out "$keys/signer.p12" \
    -passout "file:$keys/password.txt"

build=$work/build
exe=$build/bin/VorlanceUpdater.exe
cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVORLANCE_BUILD_TESTS=OFF -DUPDATER_PRIMARY_BASE_URL="$6" \
    -DUPDATER_FALLBACK_BASE_URL="$7" -DUPDATER_SIGNING_PKCS12="$keys/signer.p12" \
    -DUPDATER_SIGNING_PASSWORD_FILE="$keys/password.txt" -DUPDATER_SIGNING_TIME="$(date +%s)" >/dev/null
cmake --build "$build" --target VorlanceUpdater >/dev/null

status=0
fail() { echo "$*" >&2; status=1; }

if osslsigncode verify -CAfile "$keys/cert.pem" -in "$exe" >"$work/verify.log" 2>&1; then
    echo "signature verified against the throwaway certificate"
else
    fail "osslsigncode does not accept the signature:"
    cat "$work/verify.log" >&2
fi

# A signing that fails must fail the build and leave no executable, signed in part or not at all.
cp "$exe" "$work/first-signing.exe"
printf 'not the password\n' >"$keys/wrong-password.txt"
cmake "$build" -DUPDATER_SIGNING_PASSWORD_FILE="$keys/wrong-password.txt" >/dev/null
if cmake --build "$build" --target VorlanceUpdater >"$work/failed-signing.log" 2>&1; then
    fail "the build succeeded with a wrong certificate password"
fi
[ -e "$exe" ] && fail "a failed signing left $exe behind"
[ -e "$exe.signing" ] && fail "a failed signing left its temporary output behind"

# The next build links and signs again, at the same fixed time.
cmake "$build" -DUPDATER_SIGNING_PASSWORD_FILE="$keys/password.txt" >/dev/null
cmake --build "$build" --target VorlanceUpdater >/dev/null
if cmp -s "$exe" "$work/first-signing.exe"; then
    echo "reproducible: signing again at the same time gives the same bytes"
else
    fail "two signings at the same time differ"
fi

# A whole update: new libraries and a new game from the primary mirror, then the game is started.
game=$work/game
served=$root/primary/vorlance
rm -rf "$root/primary" "$root/fallback"
lay_out_game "$game" "$exe" "$bin/fixture_game.exe" "--stay 0 --record launched.txt"
mkdir -p "$served"
{ cat "$bin/fixture_game.exe"; printf 'signed build test'; } >"$served/game.exe"
python3 -c "import zipfile,sys; z=zipfile.ZipFile(sys.argv[1],'w'); z.writestr('bass.dll', b'new bass'); z.close()" \
    "$served/lib.zip"
(cd "$game" && "$wine_run" VorlanceUpdater.exe) </dev/null >/dev/null 2>&1 || true
# Generous: only a hang fails here.
for _ in $(seq 600); do [ -f "$game/launched.txt" ] && break; sleep 0.1; done
cmp -s "$game/vorlance.exe" "$served/game.exe" || fail "the signed updater did not install the new game"
[ "$(cat "$game/bass.dll" 2>/dev/null)" = "new bass" ] || fail "the signed updater did not install the libraries"
[ -f "$game/launched.txt" ] || fail "the signed updater did not start the game"
[ "$status" -eq 0 ] && echo "the signed updater ran a whole update"
rm -rf "$root/primary"
exit $status

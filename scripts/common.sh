# Shared set-up for scripts/test and scripts/demo: packages, build, Wine prefix, display.
# Sourced, not run. Works on a fresh Debian 12 machine as root, and for a developer who has the packages.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${VORLANCE_BUILD_DIR:-$ROOT/build}
export VORLANCE_BUILD_DIR=$BUILD
# Tests run as this unprivileged user when the script runs as root, so that read-only files behave as on Windows.
TEST_USER=vorlance-test

PACKAGES="cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
          libz-mingw-w64-dev googletest wine wine64 xvfb xauth x11-utils imagemagick python3 openssl zip unzip
          p7zip-full libarchive-tools osslsigncode g++ zlib1g-dev libssl-dev"

log() { printf '== %s\n' "$*"; }

install_packages() {
    local missing=""
    for p in $PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages:$missing (run as root, or install them)" >&2
        return 1
    fi
    log "installing$missing"
    # A package such as nginx would start its system service on port 80; the scripts start their own, so keep the
    # services off while installing.
    local policy=/usr/sbin/policy-rc.d made_policy=""
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        made_policy=1
    fi
    export DEBIAN_FRONTEND=noninteractive
    local status=0
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends $missing >/dev/null; } || status=$?
    [ -n "$made_policy" ] && rm -f "$policy"
    return $status
}

build() {
    log "building in $BUILD"
    local port=${VORLANCE_TEST_MIRROR_PORT:-18443}
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=${VORLANCE_BUILD_TYPE:-Release} -DVORLANCE_TEST_MIRROR_PORT="$port" \
        -DUPDATER_PRIMARY_BASE_URL="https://localhost:$port/primary/vorlance/" \
        -DUPDATER_FALLBACK_BASE_URL="https://localhost:$port/fallback/vorlance/" "$@" >/dev/null
    cmake --build "$BUILD" -j "$(nproc)"
}

# The package tool, built natively with the host compiler; configured once, rebuilt only when a source changed.
PACK_BUILD=${VORLANCE_PACK_BUILD_DIR:-$ROOT/build-pack}
PACK_BINARY=$PACK_BUILD/VorlancePack
pack_build() {
    if [ ! -f "$PACK_BUILD/CMakeCache.txt" ]; then
        cmake -S "$ROOT/pack" -B "$PACK_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$PACK_BUILD" >/dev/null
}

# Runs a command as the user who owns the Wine prefix.
as_wine_user() {
    if [ -n "${WINE_USER:-}" ]; then
        runuser -u "$WINE_USER" -- env HOME="$BUILD/home" "$@"
    else
        "$@"
    fi
}

# Chooses who runs Wine: an unprivileged user when we are root and that user can reach the build folder.
choose_wine_user() {
    WINE_USER=""
    if [ "$(id -u)" -eq 0 ] && [ -z "${VORLANCE_WINE_AS_ROOT:-}" ]; then
        id "$TEST_USER" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$TEST_USER"
        if runuser -u "$TEST_USER" -- test -r "$BUILD/CMakeCache.txt"; then
            WINE_USER=$TEST_USER
            mkdir -p "$BUILD/home"
            chown -R "$TEST_USER" "$BUILD"
        else
            log "the build folder is not reachable by $TEST_USER: Wine runs as root (read-only checks are skipped)"
        fi
    fi
    export WINE_USER
}

wine_env() {
    export WINEPREFIX="$BUILD/wine-prefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
}

# Creates the prefix once, with a virtual desktop so that windows close at once and have title bars under Xvfb.
make_prefix() {
    wine_env
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        log "creating the Wine prefix $WINEPREFIX"
        as_wine_user wineboot -i </dev/null >/dev/null 2>&1
        as_wine_user wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1
        as_wine_user wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
            </dev/null >/dev/null 2>&1
        as_wine_user wineserver -w
    fi
}

# One persistent wineserver for the whole run, started detached from every pipe (else ctest waits on its stderr).
start_wineserver() {
    as_wine_user wineserver -p </dev/null >/dev/null 2>&1
    as_wine_user wine cmd /c exit </dev/null >/dev/null 2>&1
}

stop_wineserver() {
    as_wine_user wineserver -k </dev/null >/dev/null 2>&1 || true
}

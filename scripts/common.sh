# Shared set-up for the scripts (scripts/, bench/): packages, build, Wine prefix, display. Sourced, not run.
# Works on a fresh Debian 12 machine as root, and for a developer who has the packages.
# The toolkit lives in scripts/lib/, one concept a file; fixture scripts under tests/ source the files they need.
for lib in base packages wine certs pack game nginx; do
    source "$(dirname "${BASH_SOURCE[0]}")/lib/$lib.sh"
done
unset lib

BUILD=${VORLANCE_BUILD_DIR:-$ROOT/build}
export VORLANCE_BUILD_DIR=$BUILD

# What scripts/test and scripts/demo need (install_packages $PACKAGES).
PACKAGES="cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
          libz-mingw-w64-dev googletest wine wine64 xvfb xauth x11-utils imagemagick python3 openssl zip unzip
          p7zip-full libarchive-tools osslsigncode g++ zlib1g-dev libssl-dev libdivsufsort-dev clang-format"

build() {
    log "building in $BUILD"
    local port=${VORLANCE_TEST_MIRROR_PORT:-18443}
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=${VORLANCE_BUILD_TYPE:-Release} -DVORLANCE_TEST_MIRROR_PORT="$port" \
        -DUPDATER_PRIMARY_BASE_URL="https://localhost:$port/primary/vorlance/" \
        -DUPDATER_FALLBACK_BASE_URL="https://localhost:$port/fallback/vorlance/" "$@" >/dev/null
    cmake --build "$BUILD" -j "$(nproc)"
}

# The package tool's own build folder for scripts/pack.
PACK_BUILD=${VORLANCE_PACK_BUILD_DIR:-$ROOT/build-pack}

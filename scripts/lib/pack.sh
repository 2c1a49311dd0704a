# The package tool, built natively with the host compiler from the project's sources (pack/). Sourced (bash), not run.
source "$(dirname "${BASH_SOURCE[0]}")/base.sh"
source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"

# What the native tool is built with: the compiler, zlib, libcrypto for keys and signatures, and libdivsufsort for the
# suffix sort of game deltas.
PACK_PACKAGES="cmake ninja-build g++ zlib1g-dev libssl-dev libdivsufsort-dev"

# pack_build DIR: builds the tool as DIR/VorlancePack; configured once, rebuilt only when a source changed. Installs
# what is missing of PACK_PACKAGES first (as root; anyone else is told what to install).
pack_build() {
    local dir=$1 generator=()
    install_packages $PACK_PACKAGES >&2 || return
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        command -v ninja >/dev/null && generator=(-G Ninja)
        cmake -S "$ROOT/pack" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null || return
    fi
    cmake --build "$dir" >/dev/null
}

# native_pack DIR: prints the native tool's path: $VORLANCE_PACK when that is built (scripts/test builds it), else
# the tool built in DIR.
native_pack() {
    if [ -x "${VORLANCE_PACK:-}" ]; then
        printf '%s\n' "$VORLANCE_PACK"
    else
        pack_build "$1" && printf '%s\n' "$1/VorlancePack"
    fi
}

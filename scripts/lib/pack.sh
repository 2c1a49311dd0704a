# The package tool, built natively with the host compiler from the project's sources (pack/). Sourced (bash), not run.
source "$(dirname "${BASH_SOURCE[0]}")/base.sh"

# pack_build DIR: builds the tool as DIR/VorlancePack; configured once, rebuilt only when a source changed.
pack_build() {
    local dir=$1 generator=()
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

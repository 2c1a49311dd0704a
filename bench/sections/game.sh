# bench/measure, section "game": what a player pays for a new game executable, on real successive releases of real
# Windows programs: this updater and its package tool, each built by bench/run at three revisions of this repository
# (BENCH_GAME_RELEASES: the oldest, the release before, the newest) with the project's own toolchain. The delta that
# pack manifest writes from the release before is set against Debian's bsdiff 4.3 on the same pair, and game.exe.gz
# against `gzip -9 -n` of the same file. Sizes, not times: each is measured once.
# Sourced by bench/measure (which also sources sections/common.sh first) and by bench/run (for
# build_game_releases), not run.

GAME_RELEASES=${BENCH_GAME_RELEASES:-"b00515c 630ec66 526bbe9"}
GAME_PROGRAMS="VorlanceUpdater.exe VorlancePack.exe"
TARGET_GAME_DELTA_BSDIFF=1.25
TARGET_GAME_GZ_GZIP=1.02

# bench/run: the programs of each release, built once from `git archive` of its revision with the benchmark's options.
build_game_releases() {
    local revision source built
    for revision in $GAME_RELEASES; do
        built=$BUILD/game-releases/$revision
        [ -f "$built/bin/VorlanceUpdater.exe" ] && [ -f "$built/bin/VorlancePack.exe" ] && continue
        source=$BUILD/game-releases/$revision-source
        log "building the game section's release $revision in $built"
        rm -rf "$source"
        mkdir -p "$source"
        git -C "$ROOT" archive "$revision" | tar -x -C "$source"
        configure_bench "$source" "$built"
        $NICE cmake --build "$built" -j "$(nproc)" --target VorlanceUpdater VorlancePack >/dev/null
    done
}

# One program from one release to another: the forms pack manifest writes, bsdiff's patch and gzip's file, recorded
# as FIGURE_file, _delta, _bsdiff, _gz and _gzip. The delta must give the new program back.
game_pair() { # program, old revision, new revision, figure
    local dir=$WORK/game/$4 old=$BUILD/game-releases/$2/bin/$1 new=$BUILD/game-releases/$3/bin/$1 delta
    [ -f "$old" ] && [ -f "$new" ] || die "no $1 of $2 and $3 in $BUILD/game-releases (bench/run builds them)"
    rm -rf "$dir"
    mkdir -p "$dir"
    "$PACK" manifest --release 1 --from "$old" "$WORK/game/lib.zip" "$new" "$dir/SHA256SUMS" >"$dir/pack.log" 2>&1 ||
        die "pack manifest failed: $(cat "$dir/pack.log")"
    delta=$dir/$(sed -n 's/^\(game\.exe\.from-[0-9a-f]*\): .*/\1/p' "$dir/pack.log")
    "$PACK" apply-delta "$old" "$delta" "$dir/applied.exe" >>"$dir/pack.log" 2>&1 && cmp -s "$dir/applied.exe" "$new" ||
        die "the delta from $2 does not give $1 of $3"
    bsdiff "$old" "$new" "$dir/bsdiff.patch" || die "bsdiff failed on $1"
    record "$4_file" "$(stat -c %s "$new")"
    record "$4_delta" "$(stat -c %s "$delta")"
    record "$4_bsdiff" "$(stat -c %s "$dir/bsdiff.patch")"
    record "$4_gz" "$(stat -c %s "$dir/game.exe.gz")"
    record "$4_gzip" "$(gzip -9 -n -c "$new" | wc -c)"
}

bench_game() {
    local program releases
    read -r -a releases <<<"$GAME_RELEASES"
    [ "${#releases[@]}" = 3 ] || die "BENCH_GAME_RELEASES names three revisions, oldest first: $GAME_RELEASES"
    say "game: ${GAME_PROGRAMS// /, } of ${releases[*]}"
    # manifest needs a package; the smallest will do, since only the game's forms are measured.
    mkdir -p "$WORK/game/libraries"
    echo "bass" >"$WORK/game/libraries/bass.dll"
    "$PACK" build "$WORK/game/libraries" "$WORK/game/lib.zip" >/dev/null || die "pack build failed"
    for program in $GAME_PROGRAMS; do
        game_pair "$program" "${releases[1]}" "${releases[2]}" "game_${program%.exe}_before"
        game_pair "$program" "${releases[0]}" "${releases[2]}" "game_${program%.exe}_apart"
    done
}

report_game() {
    local program f releases
    read -r -a releases <<<"$GAME_RELEASES"
    for program in $GAME_PROGRAMS; do
        f=game_${program%.exe}_before
        printf 'game, a delta from the release before: %.0f bytes -> %.2fx the file, %.2fx bsdiff (%s, %s to %s; ' \
            "$(median "${f}_delta")" "$(calc %f "$(median "${f}_delta") / $(median "${f}_file")")" \
            "$(calc %f "$(median "${f}_delta") / $(median "${f}_bsdiff")")" "$program" "${releases[1]}" "${releases[2]}"
        printf 'bsdiff %.0f bytes; target <= %.2fx bsdiff: %s)\n' "$(median "${f}_bsdiff")" "$TARGET_GAME_DELTA_BSDIFF" \
            "$(verdict "$(median "${f}_delta") <= $TARGET_GAME_DELTA_BSDIFF * $(median "${f}_bsdiff")")"
        printf 'game, no delta for the installed release: %.0f bytes -> %.2fx the file, %.2fx gzip -9 (%s of %s, ' \
            "$(median "${f}_gz")" "$(calc %f "$(median "${f}_gz") / $(median "${f}_file")")" \
            "$(calc %f "$(median "${f}_gz") / $(median "${f}_gzip")")" "$program" "${releases[2]}"
        printf '%.0f bytes; gzip -9 %.0f bytes; target <= %.2fx gzip -9: %s)\n' "$(median "${f}_file")" \
            "$(median "${f}_gzip")" "$TARGET_GAME_GZ_GZIP" \
            "$(verdict "$(median "${f}_gz") <= $TARGET_GAME_GZ_GZIP * $(median "${f}_gzip")")"
        f=game_${program%.exe}_apart
        printf 'game, a delta from further back: %.0f bytes -> %.2fx the file, %.2fx bsdiff (%s, %s to %s; bsdiff ' \
            "$(median "${f}_delta")" "$(calc %f "$(median "${f}_delta") / $(median "${f}_file")")" \
            "$(calc %f "$(median "${f}_delta") / $(median "${f}_bsdiff")")" "$program" "${releases[0]}" "${releases[2]}"
        printf '%.0f bytes)\n' "$(median "${f}_bsdiff")"
    done
}

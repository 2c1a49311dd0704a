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

# The updater's side: the delta from the release before applied by the updater's own code (bench_game under Wine, the
# installed game hashed beforehand as the updater's check has it), alternating with game.exe.gz inflated the same
# way, set against fetching the bytes the delta saves at 500 Mbit/s; and the program's peak working set meanwhile.
GAME_LINE_BYTES_PER_SECOND=62500000
TARGET_GAME_APPLY=1.0
TARGET_GAME_APPLY_SLACK_MiB=64

bench_game_apply() {
    local program f dir old new delta out releases
    read -r -a releases <<<"$GAME_RELEASES"
    for program in $GAME_PROGRAMS; do
        f=game_${program%.exe}_before
        dir=$WORK/game/$f
        old=$BUILD/game-releases/${releases[1]}/bin/$program
        new=$BUILD/game-releases/${releases[2]}/bin/$program
        delta=$(ls "$dir"/game.exe.from-*)
        for _ in $(seq "$REPS"); do
            settle
            out=$(run_exe bench_game apply "$(windows_path "$old")" "$(windows_path "$delta")" \
                "$(windows_path "$new")" "$(windows_path "$dir/applied-by-updater.exe")")
            [ "$(field ok "$out")" = 1 ] || die "the updater did not apply the delta to $program: $out"
            record "${f}_apply_seconds" "$(field seconds "$out")"
            record "${f}_apply_peak" "$(field peak_working_set "$out")"
            settle
            out=$(run_exe bench_game inflate "$(windows_path "$dir/game.exe.gz")" "$(windows_path "$new")" \
                "$(windows_path "$dir/inflated-by-updater.exe")")
            [ "$(field ok "$out")" = 1 ] || die "the updater did not inflate game.exe.gz of $program: $out"
            record "${f}_gunzip_seconds" "$(field seconds "$out")"
        done
        record "${f}_old_file" "$(stat -c %s "$old")"
    done
    record game_idle_peak "$(field peak_working_set "$(run_exe bench_game idle)")"
}

report_game_apply() {
    local program f releases t saved fetch peak old idle limit
    read -r -a releases <<<"$GAME_RELEASES"
    idle=$(median game_idle_peak)
    for program in $GAME_PROGRAMS; do
        f=game_${program%.exe}_before
        t=$(median "${f}_apply_seconds")
        saved=$(calc %f "$(median "${f}_gz") - $(median "${f}_delta")")
        fetch=$(calc %f "$saved / $GAME_LINE_BYTES_PER_SECOND")
        printf 'game, applying the delta: %.3f s for %.2f MiB -> %.2fx fetching the saved bytes at 500 Mbit/s ' \
            "$t" "$(calc %f "$(median "${f}_file") / $MiB")" "$(calc %f "$t / $fetch")"
        printf '(%s, %s to %s; %.0f bytes saved against game.exe.gz, %.3f s; game.exe.gz inflated by the updater in ' \
            "$program" "${releases[1]}" "${releases[2]}" "$saved" "$fetch"
        printf '%.3f s; against the whole file %.2fx; target <= %.2fx: %s)\n' "$(median "${f}_gunzip_seconds")" \
            "$(calc %f "$t / (($(median "${f}_file") - $(median "${f}_delta")) / $GAME_LINE_BYTES_PER_SECOND)")" \
            "$TARGET_GAME_APPLY" "$(verdict "$t <= $TARGET_GAME_APPLY * $fetch")"
        peak=$(median "${f}_apply_peak")
        old=$(median "${f}_old_file")
        limit=$(calc %f "$old + $TARGET_GAME_APPLY_SLACK_MiB * $MiB")
        printf "game, the updater's peak memory while applying: %.1f MiB, the installed game %.2f MiB + %.1f MiB " \
            "$(calc %f "$peak / $MiB")" "$(calc %f "$old / $MiB")" "$(calc %f "($peak - $old) / $MiB")"
        printf '(%s; the program idle %.1f MiB; target <= the installed game + %d MiB: %s)\n' "$program" \
            "$(calc %f "$idle / $MiB")" "$TARGET_GAME_APPLY_SLACK_MiB" "$(verdict "$peak <= $limit")"
    done
}

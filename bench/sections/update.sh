# bench/measure, section "update": a whole update by VorlanceUpdater.exe against the sum of its parts and a native
# curl + unzip + cp. bench_update runs it, report_update and report_update_earlier print its figures.
# Sourced by bench/measure (which also sources sections/common.sh first), not run.

# A game folder as the previous update left it: old game, full lib folder, bass libraries beside the game.
make_game_template() {
    local t=$UPDATE_DIR/template
    rm -rf "$UPDATE_DIR"
    lay_out_game "$t" "$BIN/VorlanceUpdater.exe" "$BIN/fixture_game.exe" "--stay 0"
    printf 'previous build' >>"$t/vorlance.exe"
    install_package "$t" "$DATA/lib.zip"
    mkdir -p "$UPDATE_DIR/trivial" "$UPDATE_DIR/small"
    cp "$BIN/fixture_game.exe" "$t/fixture_args.txt" "$UPDATE_DIR/trivial/"
    cp "$BIN/fixture_game.exe" "$UPDATE_DIR/small/game.exe"
    (cd "$t/lib" && zip -q "$UPDATE_DIR/small/lib.zip" bass.dll)
}

native_update() { # game folder
    local g=$1
    curl -sSf --cacert "$CA" -o "$g/lib_temp.zip" "${BASE_URL}lib.zip"
    rm -rf "$g/lib"
    mkdir "$g/lib"
    unzip -q -o "$g/lib_temp.zip" -d "$g/lib"
    rm -f "$g/lib_temp.zip"
    cp "$g"/lib/bass*.dll "$g/"
    curl -sSf --cacert "$CA" -o "$g/vorlance_new.exe" "${BASE_URL}game.exe"
    mv -f "$g/vorlance_new.exe" "$g/vorlance.exe"
}

UPDATE_DIR=$WORK/update

up_updater() { # optional: the folder of another build's VorlanceUpdater.exe, and the figure to record
    local game=$UPDATE_DIR/game out
    rm -rf "$game"
    cp -a "$UPDATE_DIR/template" "$game"
    [ -n "${1:-}" ] && cp "$1/VorlanceUpdater.exe" "$game/"
    settle
    out=$(run_exe bench_update "$(windows_path "$game/VorlanceUpdater.exe")" 300000)
    ended_well "$out" || die "the update run failed: $out"
    check_updated "$game" "$DATA/game.exe" 300
    record "${2:-update_run}" "$(field seconds "$out")"
    rm -rf "$game"
}
up_updater_earlier() { up_updater "$EARLIER_BIN" update_run_earlier; }
# What a run costs apart from the size of what it fetches: the same update with a one-library package and the bare
# stand-in game (100 KiB), served for this run only.
up_fixed() {
    local game=$UPDATE_DIR/game served=$BUILD/mirror/primary/vorlance out
    rm -rf "$game"
    cp -a "$UPDATE_DIR/template" "$game"
    ln -f "$UPDATE_DIR/small/lib.zip" "$served/lib.zip"
    ln -f "$UPDATE_DIR/small/game.exe" "$served/game.exe"
    settle
    out=$(run_exe bench_update "$(windows_path "$game/VorlanceUpdater.exe")" 300000)
    ln -f "$DATA/lib.zip" "$served/lib.zip"
    ln -f "$DATA/game.exe" "$served/game.exe"
    ended_well "$out" || die "the small update run failed: $out"
    check_updated "$game" "$UPDATE_DIR/small/game.exe" 1
    record update_fixed "$(field seconds "$out")"
    rm -rf "$game"
}
up_bare() { bare_download_both update_bare; }
up_any() {
    local out total=0 name
    mkdir -p "$UPDATE_DIR/any"
    for name in lib.zip game.exe; do
        rm -f "$UPDATE_DIR/any"/*; settle
        out=$(run_exe bench_download any "$BASE_URL" "$name" "$(windows_path "$UPDATE_DIR/any/$name")")
        [ "$(field ok "$out")" = 1 ] || die "DownloadAny of $name failed: $out"
        total=$(calc %f "$total + $(field seconds "$out")")
    done
    rm -f "$UPDATE_DIR/any"/*
    record update_any "$total"
}
# The start and end of a program that does nothing, timed the same way as the updater.
up_start() {
    local out
    rm -f "$UPDATE_DIR/trivial/launch.txt"
    out=$(run_exe bench_update "$(windows_path "$UPDATE_DIR/trivial/fixture_game.exe")" 60000)
    [ "$(field exit_code "$out")" = 0 ] || die "the trivial program failed: $out"
    record update_start "$(field seconds "$out")"
}
up_empty() {
    local out dir=$UPDATE_DIR/empty
    rm -rf "$dir"
    mkdir -p "$dir"
    cp -a "$UPDATE_DIR/template/lib" "$dir/"
    settle
    out=$(run_exe bench_update empty "$(windows_path "$dir/lib")")
    [ -z "$(ls -A "$dir/lib")" ] || die "emptying lib left files behind"
    record update_empty "$(field seconds "$out")"
    rm -rf "$dir"
}
up_native() {
    local native=$UPDATE_DIR/native t0
    rm -rf "$native"
    cp -a "$UPDATE_DIR/template" "$native"
    settle
    t0=$(now_ns)
    native_update "$native"
    record update_native "$(seconds_since "$t0")"
    rm -rf "$native"
}

bench_update() {
    make_game_template
    local rep
    for rep in $(seq "$REPS"); do
        alternate "$rep" up_updater ${EARLIER_BIN:+up_updater_earlier} up_fixed up_bare up_native up_any up_start \
            up_empty
        say "update, repetition $rep: updater $(last update_run) s, downloads alone $(last update_bare) s," \
            "native $(last update_native) s, DownloadAny of both $(last update_any) s," \
            "a trivial program $(last update_start) s, emptying lib $(last update_empty) s," \
            "small update $(last update_fixed) s"
    done
}

report_update_earlier() {
    report_earlier update_run "whole update" "VorlanceUpdater.exe" \
        "$(calc %f "$(median update_run_earlier) / $(median update_native)")" "x native"
}

report_update() {
    local run bare floor parts native any start zip empty fixed
    run=$(median update_run); bare=$(median update_bare); floor=$(median x_lib_floor); native=$(median update_native)
    any=$(median update_any); start=$(median update_start); zip=$(median x_lib_zip); empty=$(median update_empty)
    fixed=$(median update_fixed)
    parts=$(calc %f "$bare + $floor")
    printf 'whole update (lib.zip %.0f MiB + game.exe 50 MiB): VorlanceUpdater.exe %.3f s from start to exit; ' \
        "$(calc %f "$(stat -c %s "$DATA/lib.zip") / $MiB")" "$run"
    printf 'sum of parts %.3f s (bare WinINet loop over both files %.3f s + I/O floor of the package %.3f s) ' \
        "$parts" "$bare" "$floor"
    printf -- '-> %.2fx the sum of parts; native curl + unzip + cp %.3f s -> %.2fx native (target <= %s: %s); ' \
        "$(calc %f "$run / $parts")" "$native" "$(calc %f "$run / $native")" "$TARGET_UPDATE_NATIVE" \
        "$(verdict "$run / $native <= $TARGET_UPDATE_NATIVE")"
    printf 'its own parts: DownloadAny of both files %.3f s, ExtractZip of the package %.3f s, ' "$any" "$zip"
    printf 'emptying the old lib %.3f s, the rest (process, window, copies, move, launch) %.3f s; ' \
        "$empty" "$(calc %f "$run - $any - $zip - $empty")"
    printf 'the same run with a one-file package and a 100 KiB game %.3f s; a program that does nothing %.3f s\n' \
        "$fixed" "$start"
}

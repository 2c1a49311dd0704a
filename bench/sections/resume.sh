# bench/measure, section "resume": an update whose package transfer breaks halfway, the line dropped by
# bench/line_proxy.py without a TLS close; the bytes nginx sent for the package until the run ended, against the
# package's size. bench_resume runs it, report_resume prints its figures.
# Sourced by bench/measure (which also sources sections/common.sh and sections/patch.sh first), not run.

RESUME_DIR=$WORK/resume
TARGET_RESUME=1.02

# A game folder as an earlier update left it, with one library that the package no longer holds: the run must
# install the served package whole, with no list to check it against.
make_resume_template() {
    local t=$RESUME_DIR/template
    unpack_old_release
    rm -rf "$RESUME_DIR"
    lay_out_game "$t" "$BIN/VorlanceUpdater.exe" "$BIN/fixture_game.exe" "--stay 0"
    printf 'previous build' >>"$t/vorlance.exe"
    install_package "$t" "$DATA/lib.zip"
    printf 'gone in the new release' >"$t/lib/retired.dll"
}

resume_cut() {
    local game=$RESUME_DIR/game size out lines lib first
    size=$(stat -c %s "$DATA/lib.zip")
    unpublish_release
    serve_line 0 0 $((size / 2))
    rm -rf "$game"
    cp -a "$RESUME_DIR/template" "$game"
    settle
    lines=$(line_lines)
    out=$(run_exe bench_update "$(windows_path "$game/VorlanceUpdater.exe")" "$PATCH_TIMEOUT_MS")
    ended_well "$out" || die "the run with a cut failed: $out"
    grep -qx 'cut=1' "$LINE_DIR/proxy.txt" || die "the line was not cut: $(cat "$LINE_DIR/proxy.txt")"
    check_updated "$game" "$DATA/game.exe" "$(find "$PATCH_DIR/old/lib" -type f | wc -l)"
    diff -r -x "vorlance-updater-*.txt" "$game/lib" "$PATCH_DIR/old/lib" >/dev/null || die "after the run with a cut lib is not the package"
    lib=$(line_sent_since "$lines" 'lib[.]zip$')
    # The cut request's own line: what nginx had sent when the line broke.
    first=$(tail -n "+$((lines + 1))" "$LINE_LOG" | awk '$5 ~ /lib[.]zip$/ { print $2; exit }')
    record resume "$(field seconds "$out")"
    record resume_bytes "${lib% *}"
    record resume_requests "${lib#* }"
    record resume_cut_sent "$first"
    record resume_delivered "$(sed -n 's/^to_client=//p' "$LINE_DIR/proxy.txt")"
    rm -rf "$game"
}

bench_resume() {
    make_resume_template
    local rep
    for rep in $(seq "$PATCH_REPS"); do
        resume_cut
        say "resume, repetition $rep: $(last resume_bytes) bytes of lib.zip in $(last resume_requests) requests," \
            "$(last resume) s"
    done
    rm -rf "$RESUME_DIR/game"
    restore_mirror
}

report_resume() {
    local size bytes x
    size=$(stat -c %s "$DATA/lib.zip")
    bytes=$(median resume_bytes)
    x=$(calc %f "$bytes / $size")
    printf 'resume after a cut at 50%%: %.0f bytes -> %.2fx the file\n' "$bytes" "$x"
    printf 'resume, details: lib.zip %s bytes, cut by the line after %s bytes; nginx answered %.0f requests for it; ' \
        "$size" "$((size / 2))" "$(median resume_requests)"
    printf 'nginx had sent %.0f bytes (%.0f beyond the cut, %.2f%% of the file) when the line broke; ' \
        "$(median resume_cut_sent)" "$(calc %f "$(median resume_cut_sent) - $size / 2")" \
        "$(calc %f "100 * ($(median resume_cut_sent) - $size / 2) / $size")"
    printf 'the line delivered %.0f bytes of the whole run (TLS, the game and the list included); the run %.3f s ' \
        "$(median resume_delivered)" "$(median resume)"
    printf 'from start to exit; target <= %s the file: %s\n' "$TARGET_RESUME" "$(verdict "$x <= $TARGET_RESUME")"
}

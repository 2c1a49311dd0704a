# bench/measure, section "unchanged": an unchanged release with and without the checksum list (time and bytes), and
# what hashing the installation costs. bench_unchanged runs it, report_unchanged prints its figures.
# Sourced by bench/measure (which also sources sections/common.sh first), not run.

# A game folder that already holds the release the mirror serves (the game, the unpacked package, the bass copies),
# and that release's checksum list as sha256sum writes it.
UNCH_DIR=$WORK/unchanged
UNCH_SERVED=$BUILD/mirror/primary/vorlance

make_unchanged_release() {
    local t=$UNCH_DIR/template
    rm -rf "$UNCH_DIR"
    lay_out_game "$t" "$BIN/VorlanceUpdater.exe" "$DATA/game.exe" "--stay 0"
    install_package "$t" "$DATA/lib.zip"
    UNCH_FILES=$(find "$t/lib" -type f | wc -l)
    # What any run costs apart from the size of what it fetches: a one-library package and the bare stand-in game.
    mkdir -p "$UNCH_DIR/small"
    cp "$BIN/fixture_game.exe" "$UNCH_DIR/small/game.exe"
    (cd "$t/lib" && zip -q "$UNCH_DIR/small/lib.zip" bass.dll)
    {
        printf '%s  game.exe\n' "$(sha256sum <"$DATA/game.exe" | cut -d' ' -f1)"
        printf '%s  lib.zip\n' "$(sha256sum <"$DATA/lib.zip" | cut -d' ' -f1)"
        (cd "$t" && find lib -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
    } >"$UNCH_DIR/SHA256SUMS"
    # The same release signed, for an updater built with release keys: the test build's second updater carries the
    # test keys, and the list is signed with the first one's private half as a studio signs it.
    openssl dgst -sha256 -sign "$BUILD/test-keys/release-1.key.pem" -out "$UNCH_DIR/SHA256SUMS.sig" \
        "$UNCH_DIR/SHA256SUMS"
    cp -a "$t" "$UNCH_DIR/signed-template"
    cp "$BIN/VorlanceUpdaterSigned.exe" "$UNCH_DIR/signed-template/VorlanceUpdater.exe"
}

# Bytes the mirror sent and requests it answered since the access log had $1 lines.
served_since() {
    tail -n "+$(($1 + 1))" "$NGINX_DIR/access.log" | awk '{ bytes += $6; n++ } END { printf "%d %d", bytes, n }'
}

unch_run() { # figure name [template [folder of another build's updater]]; the list is published or not by the caller
    local game=$UNCH_DIR/game out lines served
    rm -rf "$game"
    cp -a "$UNCH_DIR/${2:-template}" "$game"
    [ -n "${3:-}" ] && cp "$3/VorlanceUpdater.exe" "$game/"
    settle
    lines=$(wc -l <"$NGINX_DIR/access.log")
    out=$(run_exe bench_update "$(windows_path "$game/VorlanceUpdater.exe")" 300000)
    ended_well "$out" || die "the $1 run failed: $out"
    check_updated "$game" "$DATA/game.exe" "$UNCH_FILES"
    [ ! -e "$game/sha256sums_temp.txt" ] || die "the checksum list was left in the game folder"
    served=$(served_since "$lines")
    record "$1" "$(field seconds "$out")"
    record "$1_bytes" "${served% *}"
    record "$1_requests" "${served#* }"
    rm -rf "$game"
}
unch_list() {
    cp "$UNCH_DIR/SHA256SUMS" "$UNCH_SERVED/SHA256SUMS"
    unch_run unch_list
    rm -f "$UNCH_SERVED/SHA256SUMS"
    [ "$(last unch_list_requests)" = 1 ] || die "a run of an unchanged release asked for more than the list"
}
# The signed list: one more request (the signature) and its check.
unch_signed() {
    cp "$UNCH_DIR/SHA256SUMS" "$UNCH_DIR/SHA256SUMS.sig" "$UNCH_SERVED/"
    unch_run unch_signed signed-template
    rm -f "$UNCH_SERVED/SHA256SUMS" "$UNCH_SERVED/SHA256SUMS.sig"
    [ "$(last unch_signed_requests)" = 2 ] || die "a signed run of an unchanged release asked for more than the list"
}
unch_list_earlier() {
    cp "$UNCH_DIR/SHA256SUMS" "$UNCH_SERVED/SHA256SUMS"
    unch_run unch_list_earlier template "$EARLIER_BIN"
    rm -f "$UNCH_SERVED/SHA256SUMS"
}
unch_today() {
    rm -f "$UNCH_SERVED/SHA256SUMS"
    unch_run unch_today
}
# A run without a list that fetches and installs a one-file package and the 100 KiB game, served for this run only.
unch_fixed() {
    local game=$UNCH_DIR/game out
    rm -f "$UNCH_SERVED/SHA256SUMS"
    rm -rf "$game"
    cp -a "$UNCH_DIR/template" "$game"
    ln -f "$UNCH_DIR/small/lib.zip" "$UNCH_SERVED/lib.zip"
    ln -f "$UNCH_DIR/small/game.exe" "$UNCH_SERVED/game.exe"
    settle
    out=$(run_exe bench_update "$(windows_path "$game/VorlanceUpdater.exe")" 300000)
    ln -f "$DATA/lib.zip" "$UNCH_SERVED/lib.zip"
    ln -f "$DATA/game.exe" "$UNCH_SERVED/game.exe"
    [ "$(field exit_code "$out")" = 0 ] && [ "$(field timed_out "$out")" = 0 ] &&
        [ -z "$(field error_box "$out")" ] || die "the one-file package run failed: $out"
    check_updated "$game" "$UNCH_DIR/small/game.exe" 1
    record unch_fixed "$(field seconds "$out")"
    rm -rf "$game"
}
# What the list run adds: hashing the installed lib and game, under Wine with the updater's own function, and natively.
unch_hash() {
    local t=$UNCH_DIR/template out t0
    settle
    out=$(run_exe bench_update hash "$(windows_path "$t/lib")" "$(windows_path "$t/vorlance.exe")")
    [ "$(field ok "$out")" = 1 ] || die "hashing the installation failed: $out"
    record unch_hash "$(field seconds "$out")"
    record unch_hashed_bytes "$(field bytes "$out")"
    record unch_hash_threads "$(field threads "$out")"
    t0=$(now_ns)
    (cd "$t" && find lib -type f -print0 | xargs -0 sha256sum vorlance.exe >/dev/null)
    record unch_sha256sum "$(seconds_since "$t0")"
}
# The two downloads the list saves, alone: the bare WinINet loop over both files.
unch_download() { bare_download_both unch_download; }

bench_unchanged() {
    make_unchanged_release
    local rep
    for rep in $(seq "$REPS"); do
        alternate "$rep" unch_list unch_signed ${EARLIER_BIN:+unch_list_earlier} unch_fixed unch_today unch_hash \
            unch_download
        say "unchanged release, repetition $rep: with the list $(last unch_list) s ($(last unch_list_bytes) bytes)," \
            "signed $(last unch_signed) s ($(last unch_signed_bytes) bytes)," \
            "earlier build with the list $(last unch_list_earlier 2>/dev/null || echo -) s," \
            "one-file package $(last unch_fixed) s," \
            "today $(last unch_today) s ($(last unch_today_bytes) bytes), hashing $(last unch_hash) s," \
            "sha256sum $(last unch_sha256sum) s, the two downloads alone $(last unch_download) s"
    done
    rm -rf "$UNCH_DIR/game"
}

report_unchanged() {
    local list today hash native download hashed fixed
    list=$(median unch_list); today=$(median unch_today); hash=$(median unch_hash); fixed=$(median unch_fixed)
    native=$(median unch_sha256sum); download=$(median unch_download); hashed=$(median unch_hashed_bytes)
    printf 'unchanged release (game and %s library files installed as served): run with the checksum list %.3f s, ' \
        "$UNCH_FILES" "$list"
    printf '%s bytes in %s requests; today'"'"'s run without a list %.3f s, %s bytes in %s requests -> ' \
        "$(median unch_list_bytes)" "$(median unch_list_requests)" "$today" "$(median unch_today_bytes)" \
        "$(median unch_today_requests)"
    printf '%.2f of the time, %.5f of the bytes; ' "$(calc %f "$list / $today")" \
        "$(calc %f "$(median unch_list_bytes) / $(median unch_today_bytes)")"
    printf 'with the signed list (an updater with release keys) %.3f s, %s bytes in %s requests: the signature costs ' \
        "$(median unch_signed)" "$(median unch_signed_bytes)" "$(median unch_signed_requests)"
    printf '%+.0f ms (%.2f of the list run); ' "$(calc %f "($(median unch_signed) - $list) * 1000")" \
        "$(calc %f "$(median unch_signed) / $list")"
    printf 'hashing the installation (%.1f MiB) alone with HashFileSha256 %.3f s (%.0f MiB/s), native sha256sum ' \
        "$(calc %f "$hashed / $MiB")" "$hash" "$(calc %f "$hashed / $MiB / $hash")"
    printf '%.3f s; the two downloads it saves, bare WinINet loop over loopback %.3f s -> hashing costs %.2f of them ' \
        "$native" "$download" "$(calc %f "$hash / $download")"
    # A player's line is far slower than loopback: what the saved bytes take at 50 Mbit/s, and where hashing and
    # downloading cost the same.
    printf '(at 50 Mbit/s the saved bytes take %.1f s, %.0fx the hashing; hashing costs as much as downloading only ' \
        "$(calc %f "$(median unch_today_bytes) * 8 / 50e6")" \
        "$(calc %f "$(median unch_today_bytes) * 8 / 50e6 / $hash")"
    printf 'on a line of %.0f Mbit/s); ' "$(calc %f "$(median unch_today_bytes) * 8 / 1e6 / $hash")"
    printf 'pool of %s threads (VORLANCE_POOL_THREADS=%s); ' "$(median unch_hash_threads)" \
        "${VORLANCE_POOL_THREADS:-unset}"
    if [ -n "$EARLIER_BIN" ]; then
        printf '%s with the list %.3f s -> %.2fx its time; ' "$EARLIER_NAME" "$(median unch_list_earlier)" \
            "$(calc %f "$list / $(median unch_list_earlier)")"
    fi
    printf 'run with the list %.3f s against a run with a one-file package %.3f s (target <= %s: %s) ' "$list" \
        "$fixed" "$TARGET_UNCHANGED_FIXED" "$(verdict "$list / $fixed <= $TARGET_UNCHANGED_FIXED")"
    printf -- '-> %.2fx a run with a one-file package\n' "$(calc %f "$list / $fixed")"
}

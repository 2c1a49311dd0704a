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

# A launch with nothing new: the release in place and a record of what an earlier launch hashed. Four libs: the
# bench's; a one-file lib; one four times larger in bytes (the bench's 300 files, each but the bass*.dll four times
# over); and one four times larger in files too (the bench's lib and three more copies of it in folders). Each folder
# is laid out once and primed by one launch, which hashes everything; the record's launch count is then set before
# every timed launch, so that it is never the 20th (a full check), except in the full-check figure, where it is.
NN_VARIANTS="bench small large many"
make_nothing_new() {
    local v t f
    for v in $NN_VARIANTS; do
        t=$UNCH_DIR/nn-$v
        rm -rf "$t"
        lay_out_game "$t" "$BIN/VorlanceUpdater.exe" "$DATA/game.exe" "--stay 0"
    done
    unzip -q "$UNCH_DIR/small/lib.zip" -d "$UNCH_DIR/nn-small/lib"
    for v in bench large many; do
        cp -a "$UNCH_DIR/template/lib" "$UNCH_DIR/nn-$v/"
    done
    # The bass*.dll stay as they are: every run compares them with their copies beside the game by their bytes.
    while IFS= read -r -d '' f; do
        cat "$f" "$f" "$f" "$f" >"$f.4" && mv "$f.4" "$f"
    done < <(find "$UNCH_DIR/nn-large/lib" -type f ! -path "$UNCH_DIR/nn-large/lib/bass*" -print0)
    for v in 2 3 4; do
        mkdir -p "$UNCH_DIR/nn-many/lib/copy$v"
        cp -a "$UNCH_DIR/template/lib/." "$UNCH_DIR/nn-many/lib/copy$v/"
    done
    for v in $NN_VARIANTS; do
        t=$UNCH_DIR/nn-$v
        cp "$t"/lib/bass*.dll "$t/"
        {
            printf '%s  game.exe\n' "$(sha256sum <"$DATA/game.exe" | cut -d' ' -f1)"
            printf '%s  lib.zip\n' "$(sha256sum <"$DATA/lib.zip" | cut -d' ' -f1)"
            (cd "$t" && find lib -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
        } >"$UNCH_DIR/nn-$v.SHA256SUMS"
    done
    NN_LARGE_MIB=$(du -sm --apparent-size "$UNCH_DIR/nn-large/lib" | cut -f1)
    NN_MANY_FILES=$(find "$UNCH_DIR/nn-many/lib" -type f | wc -l)
    NN_MANY_MIB=$(du -sm --apparent-size "$UNCH_DIR/nn-many/lib" | cut -f1)
    # The updater vouches only for files whose times lie a few seconds behind the launch.
    sleep 4
    for v in $NN_VARIANTS; do
        nn_launch "$v" 0
    done
}
nn_record() { printf '%s/nn-%s/vorlance_verified.txt' "$UNCH_DIR" "$1"; }
# One launch of a primed folder with the record's launch count set first; its time in NN_SECONDS.
nn_launch() { # variant, launches since the last full check
    local game=$UNCH_DIR/nn-$1 out lines served
    cp "$UNCH_DIR/nn-$1.SHA256SUMS" "$UNCH_SERVED/SHA256SUMS"
    [ -f "$(nn_record "$1")" ] && sed -i "s/^launches .*/launches $2/" "$(nn_record "$1")"
    rm -f "$game/launch.txt"
    settle
    lines=$(wc -l <"$NGINX_DIR/access.log")
    out=$(run_exe bench_update "$(windows_path "$game/VorlanceUpdater.exe")" 300000)
    rm -f "$UNCH_SERVED/SHA256SUMS"
    ended_well "$out" || die "the $1 launch with nothing new failed: $out"
    for _ in $(seq 100); do
        [ -f "$game/launch.txt" ] && break
        sleep 0.1
    done
    [ -f "$game/launch.txt" ] || die "the game was not started after the $1 launch with nothing new"
    served=$(served_since "$lines")
    [ "${served#* }" = 1 ] || die "the $1 launch with nothing new asked for more than the list: $served"
    sleep 0.5
    NN_SECONDS=$(field seconds "$out")
}
# A timed launch with nothing new: the record must say that it hashed no byte.
unch_nothing_new() { # variant
    nn_launch "$1" 0
    record "nn_$1" "$NN_SECONDS"
    grep -qx 'hashed 0' "$(nn_record "$1")" || die "the $1 launch with nothing new hashed files: $(head -n 4 "$(nn_record "$1")")"
}
unch_nn_bench() { unch_nothing_new bench; }
unch_nn_small() { unch_nothing_new small; }
unch_nn_large() { unch_nothing_new large; }
unch_nn_many() { unch_nothing_new many; }
# The 20th launch: everything hashed again.
unch_nn_full() {
    nn_launch bench 19
    record nn_full "$NN_SECONDS"
    grep -qx 'launches 0' "$(nn_record bench)" || die "the 20th launch was no full check"
    grep -qx 'hashed 0' "$(nn_record bench)" && die "the full check hashed nothing"
    return 0
}

bench_unchanged() {
    make_unchanged_release
    make_nothing_new
    local rep
    for rep in $(seq "$REPS"); do
        alternate "$rep" unch_list unch_signed ${EARLIER_BIN:+unch_list_earlier} unch_fixed unch_today unch_hash \
            unch_download unch_nn_bench unch_nn_small unch_nn_large unch_nn_many unch_nn_full
        say "unchanged release, repetition $rep: with the list $(last unch_list) s ($(last unch_list_bytes) bytes)," \
            "signed $(last unch_signed) s ($(last unch_signed_bytes) bytes)," \
            "earlier build with the list $(last unch_list_earlier 2>/dev/null || echo -) s," \
            "one-file package $(last unch_fixed) s," \
            "today $(last unch_today) s ($(last unch_today_bytes) bytes), hashing $(last unch_hash) s," \
            "sha256sum $(last unch_sha256sum) s, the two downloads alone $(last unch_download) s"
        say "launch with nothing new, repetition $rep: bench's lib $(last nn_bench) s, one-file lib $(last nn_small) s," \
            "four times the bytes $(last nn_large) s, four times the files $(last nn_many) s," \
            "the full check $(last nn_full) s"
    done
    rm -rf "$UNCH_DIR/game" "$UNCH_DIR"/nn-*
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
    report_nothing_new
}

# The launch with nothing new against the same launch with a one-file lib, target <= 1.10x, and the same ratio within
# 0.05 for the lib four times larger; the lib with four times the files shows what each file's metadata costs. Beside
# the medians, the ratios of the fastest runs: a few tenths of a second are within what a busy machine adds to a run.
TARGET_NOTHING_NEW=1.10
TARGET_NOTHING_NEW_SPREAD=0.05
fastest() { [ -s "$VALUES/$1" ] && sort -g "$VALUES/$1" | head -n 1 || echo nan; }
report_nothing_new() {
    local bench small large many full ratio large_ratio
    bench=$(median nn_bench); small=$(median nn_small); large=$(median nn_large); many=$(median nn_many)
    full=$(median nn_full)
    ratio=$(calc %f "$bench / $small"); large_ratio=$(calc %f "$large / $small")
    printf 'a launch with nothing new: %.3f s with the bench'"'"'s lib -> %.2fx a one-file lib (%.3f s; target <= %s: %s); ' \
        "$bench" "$ratio" "$small" "$TARGET_NOTHING_NEW" "$(verdict "$ratio <= $TARGET_NOTHING_NEW")"
    printf 'with a lib four times larger (the same 300 files, %s MiB) %.3f s -> %.2fx (within %s of the bench'"'"'s: %s); ' \
        "${NN_LARGE_MIB:-?}" "$large" "$large_ratio" "$TARGET_NOTHING_NEW_SPREAD" \
        "$(verdict "$large_ratio - $ratio <= $TARGET_NOTHING_NEW_SPREAD && $ratio - $large_ratio <= $TARGET_NOTHING_NEW_SPREAD")"
    printf 'with four times the files (%s files, %s MiB) %.3f s -> %.2fx; ' "${NN_MANY_FILES:-?}" "${NN_MANY_MIB:-?}" \
        "$many" "$(calc %f "$many / $small")"
    printf 'the full-check launch (every 20th) %.3f s -> %.2fx a one-file lib; ' "$full" "$(calc %f "$full / $small")"
    printf 'fastest runs: one-file lib %.3f s, the bench'"'"'s lib %.2fx, four times the bytes %.2fx, four times the files ' \
        "$(fastest nn_small)" "$(calc %f "$(fastest nn_bench) / $(fastest nn_small)")" \
        "$(calc %f "$(fastest nn_large) / $(fastest nn_small)")"
    printf '%.2fx, the full check %.2fx\n' "$(calc %f "$(fastest nn_many) / $(fastest nn_small)")" \
        "$(calc %f "$(fastest nn_full) / $(fastest nn_small)")"
}

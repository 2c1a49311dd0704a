# bench/measure, section "patch": the next release installed over the one before, when it changes one library file
# and when it changes a tenth of them, with the checksum list published: the bytes and requests the updater asks of
# the mirror, against what the changed entries and the package's directory take, and its time on a 50 Mbit/s line
# against the whole package's. bench_patch runs it, report_patch prints its figures.
# Sourced by bench/measure (which also sources sections/common.sh first), not run.

PATCH_DIR=$WORK/patch
# A player's line: 50 Mbit/s is 6250 kB/s (nginx's k is 1024 bytes, so this is 2.4% faster: 51.2 Mbit/s).
PATCH_RATE=6250k
# Each way, so that a round trip takes 50 ms more.
PATCH_DELAY_MS=25
PATCH_TIMEOUT_MS=600000
PATCH_PROBE_REQUESTS=21
TARGET_PATCH_ONE_BYTES=1.10
TARGET_PATCH_ONE_TIME=0.05
TARGET_PATCH_TENTH_BYTES=1.25
TARGET_PATCH_TENTH_CURL=1.10

# The release before, unpacked once from the served package; bench_resume uses it too.
unpack_old_release() {
    [ -f "$PATCH_DIR/old/done" ] && return 0
    rm -rf "$PATCH_DIR/old"
    mkdir -p "$PATCH_DIR/old"
    unzip -q "$DATA/lib.zip" -d "$PATCH_DIR/old/lib"
    touch "$PATCH_DIR/old/done"
}

# Each new release as the studio makes it: the changed folder packed, its checksum list written and signed by the
# pack tool (with the first of the test build's release keys).
make_patch_releases() {
    local kind r t=$PATCH_DIR/template
    unpack_old_release
    for kind in one tenth; do
        r=$PATCH_DIR/$kind
        rm -rf "$r"
        mkdir -p "$r"
        python3 "$ROOT/bench/make_release.py" change "$PATCH_DIR/old/lib" "$r/lib" "$kind" "$r/changed.txt"
        "$PACK" build "$r/lib" "$r/lib.zip" >"$r/pack.log" 2>&1 || die "pack build failed: $(cat "$r/pack.log")"
        "$PACK" manifest "$r/lib.zip" "$DATA/game.exe" "$r/SHA256SUMS" >>"$r/pack.log" 2>&1 ||
            die "pack manifest failed: $(cat "$r/pack.log")"
        "$PACK" sign "$r/SHA256SUMS" "$BUILD/test-keys/release-1.key.pem" >>"$r/pack.log" 2>&1 &&
            [ -f "$r/SHA256SUMS.sig" ] || die "pack sign failed: $(cat "$r/pack.log")"
        python3 "$ROOT/bench/make_release.py" cost "$r/lib.zip" "$r/changed.txt" >"$r/cost.txt"
        find "$r/lib" -type f | wc -l >"$r/files"
    done
    # The player's folder: the game the mirror serves (so only the libraries are new), the release before, and the
    # updater with the test release keys, as a shipped game has it.
    rm -rf "$t"
    lay_out_game "$t" "$BIN/VorlanceUpdaterSigned.exe" "$DATA/game.exe" "--stay 0"
    install_package "$t" "$DATA/lib.zip"
}

# Both mirrors serve RELEASE's package and list, or again what the other sections serve.
publish_release() { # release
    local mirror
    for mirror in primary fallback; do
        ln -f "$PATCH_DIR/$1/lib.zip" "$BUILD/mirror/$mirror/vorlance/lib.zip"
        cp "$PATCH_DIR/$1/SHA256SUMS" "$PATCH_DIR/$1/SHA256SUMS.sig" "$BUILD/mirror/$mirror/vorlance/"
    done
}
unpublish_release() {
    local mirror
    for mirror in primary fallback; do
        ln -f "$DATA/lib.zip" "$BUILD/mirror/$mirror/vorlance/lib.zip"
        rm -f "$BUILD/mirror/$mirror/vorlance/SHA256SUMS" "$BUILD/mirror/$mirror/vorlance/SHA256SUMS.sig"
    done
}

patch_line() { # fast | slow | far
    case $1 in
        fast) serve_line 0 0 ;;
        slow) serve_line "$PATCH_RATE" 0 ;;
        far) serve_line "$PATCH_RATE" "$PATCH_DELAY_MS" ;;
    esac
}

cost_of() { sed -n "s/^$2=//p" "$PATCH_DIR/$1/cost.txt"; }

# The connections the line's proxy has carried so far (0 without a proxy). It counts each one a moment after it
# ended (its last delayed bytes delivered), so the count waits for those that have just ended.
line_connections() {
    sleep 0.5
    sed -n 's/^connections=//p' "$LINE_DIR/proxy.txt" 2>/dev/null || echo 0
}

# One run of the updater over the release before, on one kind of line; recorded as patch_RELEASE_LINE.
patch_run() { # release, line
    local r=$PATCH_DIR/$1 game=$PATCH_DIR/game figure=patch_$1_$2 out lines lib other connections
    patch_line "$2"
    publish_release "$1"
    rm -rf "$game"
    cp -a "$PATCH_DIR/template" "$game"
    settle
    lines=$(line_lines)
    connections=$(line_connections)
    out=$(run_exe bench_update "$(windows_path "$game/VorlanceUpdater.exe")" "$PATCH_TIMEOUT_MS")
    ended_well "$out" || die "the $figure run failed: $out"
    check_updated "$game" "$DATA/game.exe" "$(cat "$r/files")"
    # The path and the range ("-": none) of each request, for curl to repeat.
    tail -n "+$((lines + 1))" "$LINE_LOG" | awk -F'"' '{ split($2, r, " "); print r[2], $4 }' >"$PATCH_DIR/$figure.requests"
    record "${figure}_connections" "$(($(line_connections) - connections))"
    diff -r -x "vorlance-updater-*.txt" "$game/lib" "$r/lib" >/dev/null || die "after the $figure run lib does not hold exactly the new release"
    lib=$(line_sent_since "$lines" 'lib[.]zip$')
    other=$(line_sent_since "$lines" '.')
    record "$figure" "$(field seconds "$out")"
    record "${figure}_bytes" "${lib% *}"
    record "${figure}_requests" "${lib#* }"
    record "${figure}_all_bytes" "${other% *}"
    record "${figure}_all_requests" "${other#* }"
    rm -rf "$game"
}
patch_one_fast() { patch_run one fast; }
patch_one_slow() { patch_run one slow; }
patch_one_far() { patch_run one far; }
patch_tenth_fast() { patch_run tenth fast; }
patch_tenth_slow() { patch_run tenth slow; }
patch_tenth_far() { patch_run tenth far; }

# The requests of the updater's last run of RELEASE on LINE, in its order, by one curl invocation: curl keeps one
# connection across its transfers, so this is what the line itself takes for them. Recorded as patch_curl_RELEASE_LINE.
patch_curl() { # release, line
    local requests=$PATCH_DIR/patch_$1_$2.requests figure=patch_curl_$1_$2 args=() path range start connections
    [ -s "$requests" ] || die "no run of the updater to repeat for $figure"
    while read -r path range; do
        [ ${#args[@]} -gt 0 ] && args+=(--next)
        args+=(-sS --fail --cacert "$CA" -o /dev/null)
        [ "$range" = "-" ] || args+=(-r "${range#bytes=}")
        args+=("https://localhost:$PORT$path")
    done <"$requests"
    patch_line "$2"
    publish_release "$1"
    settle
    connections=$(line_connections)
    start=$(now_ns)
    curl "${args[@]}" || die "curl could not repeat the requests of patch_$1_$2"
    record "$figure" "$(seconds_since "$start")"
    record "${figure}_connections" "$(($(line_connections) - connections))"
}
patch_curl_tenth_far() { patch_curl tenth far; }

# The whole new package alone, by the bare WinINet loop: what any run that fetches it waits for at least.
patch_whole() { # line
    local out
    patch_line "$1"
    publish_release one
    settle
    out=$(run_exe bench_download bare "${BASE_URL}lib.zip")
    [ "$(field ok "$out")" = 1 ] || die "the bare download of the whole package failed: $out"
    record "patch_whole_$1" "$(field seconds "$out")"
}
patch_whole_fast() { patch_whole fast; }
patch_whole_slow() { patch_whole slow; }

# What one more request costs on a kept connection, and a new connection's first request: one-byte ranges of the
# package, one after another, by curl.
patch_probe() { # line
    local args=() i times
    patch_line "$1"
    for ((i = 0; i < PATCH_PROBE_REQUESTS; i++)); do
        [ "$i" -gt 0 ] && args+=(--next)
        args+=(-sS --cacert "$CA" -o /dev/null -w '%{time_total}\n' -r "$((i * 1000000))-$((i * 1000000))"
            "${BASE_URL}lib.zip")
    done
    times=$(curl "${args[@]}") || die "the request probe failed"
    record "patch_first_request_$1" "$(printf '%s\n' "$times" | head -n 1)"
    record "patch_request_$1" "$(printf '%s\n' "$times" | tail -n +2 | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')"
}
patch_probe_fast() { patch_probe fast; }
patch_probe_far() { patch_probe far; }

bench_patch() {
    make_patch_releases
    local rep
    for rep in $(seq "$PATCH_REPS"); do
        # The curl run repeats the requests of the tenth's run with 50 ms round trips: it follows that run in every
        # repetition but one that starts with it, which repeats the repetition before.
        alternate "$rep" patch_one_fast patch_one_slow patch_one_far patch_tenth_fast patch_tenth_slow \
            patch_tenth_far patch_curl_tenth_far patch_whole_fast patch_whole_slow patch_probe_fast patch_probe_far
        say "patch, repetition $rep: one file $(last patch_one_fast_bytes) bytes in" \
            "$(last patch_one_fast_requests) requests, $(last patch_one_fast) s," \
            "$(last patch_one_slow) s at 50 Mbit/s, $(last patch_one_far) s with 50 ms round trips;" \
            "a tenth $(last patch_tenth_fast_bytes) bytes in $(last patch_tenth_fast_requests) requests," \
            "$(last patch_tenth_fast) s, $(last patch_tenth_slow) s, $(last patch_tenth_far) s" \
            "($(last patch_tenth_far_connections) connections; curl $(last patch_curl_tenth_far) s);" \
            "whole package $(last patch_whole_fast) s, $(last patch_whole_slow) s at 50 Mbit/s;" \
            "a request $(last patch_request_fast) s, $(last patch_request_far) s with 50 ms round trips"
    done
    rm -rf "$PATCH_DIR/game"
    unpublish_release
    restore_mirror
}

# The bytes of the package a patch of RELEASE cannot do without: its changed entries and its directory.
patch_floor() { echo $(($(cost_of "$1" entry_bytes) + $(cost_of "$1" directory_bytes))); }

report_patch() {
    local one_b one_r tenth_b tenth_r one_t whole_t one_x tenth_x time_x one_floor tenth_floor
    local req_far req_fast far_extra curl_x
    one_b=$(median patch_one_fast_bytes); one_r=$(median patch_one_fast_requests)
    tenth_b=$(median patch_tenth_fast_bytes); tenth_r=$(median patch_tenth_fast_requests)
    one_t=$(median patch_one_slow); whole_t=$(median patch_whole_slow)
    one_floor=$(patch_floor one); tenth_floor=$(patch_floor tenth)
    one_x=$(calc %f "$one_b / $one_floor"); tenth_x=$(calc %f "$tenth_b / $tenth_floor")
    time_x=$(calc %f "$one_t / $whole_t")
    curl_x=$(calc %f "$(median patch_tenth_far) / $(median patch_curl_tenth_far)")
    printf 'patch, one file changed: %.0f bytes in %.0f requests -> %.2fx the changed entries and directory; ' \
        "$one_b" "$one_r" "$one_x"
    printf '%.1f s -> %.2fx the whole package at 50 Mbit/s\n' "$one_t" "$time_x"
    printf 'patch, a tenth changed: %.0f bytes in %.0f requests -> %.2fx the changed entries and directory\n' \
        "$tenth_b" "$tenth_r" "$tenth_x"
    printf 'patch, the releases: one file changed (%s, %s entry bytes + %s directory bytes = %s), a tenth changed ' \
        "$(sed 's|^lib/||' "$PATCH_DIR/one/changed.txt")" "$(cost_of one entry_bytes)" \
        "$(cost_of one directory_bytes)" "$one_floor"
    printf '(%s files, %s entry bytes + %s directory bytes = %s), new package %s bytes; ' \
        "$(cost_of tenth entries)" "$(cost_of tenth entry_bytes)" "$(cost_of tenth directory_bytes)" "$tenth_floor" \
        "$(stat -c %s "$PATCH_DIR/one/lib.zip")"
    printf 'bytes of lib.zip as nginx sent them (headers included), the signed list and any other request besides: '
    printf 'one file %.0f bytes in %.0f requests in all, a tenth %.0f in %.0f\n' "$(median patch_one_fast_all_bytes)" \
        "$(median patch_one_fast_all_requests)" "$(median patch_tenth_fast_all_bytes)" \
        "$(median patch_tenth_fast_all_requests)"
    printf 'patch, times from start to exit: one file %.3f s at full loopback speed, %.3f s at 50 Mbit/s, ' \
        "$(median patch_one_fast)" "$one_t"
    printf '%.3f s at 50 Mbit/s with 50 ms round trips (%.0f requests); a tenth %.3f s, %.3f s, %.3f s (%.0f ' \
        "$(median patch_one_far)" "$(median patch_one_far_requests)" "$(median patch_tenth_fast)" \
        "$(median patch_tenth_slow)" "$(median patch_tenth_far)" "$(median patch_tenth_far_requests)"
    printf 'requests) -> %.2fx the whole package at 50 Mbit/s; the whole new package alone (bare WinINet loop) ' \
        "$(calc %f "$(median patch_tenth_slow) / $whole_t")"
    printf '%.3f s at full loopback speed, %.3f s at 50 Mbit/s (the line carried it at %.1f Mbit/s)\n' \
        "$(median patch_whole_fast)" "$whole_t" "$(calc %f "$(stat -c %s "$PATCH_DIR/one/lib.zip") * 8 / 1e6 / $whole_t")"
    printf 'patch, a tenth changed at 50 ms: %.3f s -> %.2fx curl on one connection\n' "$(median patch_tenth_far)" \
        "$curl_x"
    printf 'patch, a tenth changed at 50 ms, the same %.0f requests: the updater over %.0f connections, curl %.3f s ' \
        "$(median patch_tenth_far_all_requests)" "$(median patch_tenth_far_connections)" \
        "$(median patch_curl_tenth_far)"
    printf 'over %.0f\n' "$(median patch_curl_tenth_far_connections)"
    printf 'patch, targets: one file <= %s the bytes: %s, <= %s the time: %s; a tenth <= %s the bytes: %s, ' \
        "$TARGET_PATCH_ONE_BYTES" "$(verdict "$one_x <= $TARGET_PATCH_ONE_BYTES")" "$TARGET_PATCH_ONE_TIME" \
        "$(verdict "$time_x <= $TARGET_PATCH_ONE_TIME")" "$TARGET_PATCH_TENTH_BYTES" \
        "$(verdict "$tenth_x <= $TARGET_PATCH_TENTH_BYTES")"
    printf '<= %s curl at 50 ms: %s\n' "$TARGET_PATCH_TENTH_CURL" "$(verdict "$curl_x <= $TARGET_PATCH_TENTH_CURL")"
    # What coalescing weighs: a request's cost against the bytes the line carries meanwhile.
    req_far=$(median patch_request_far); req_fast=$(median patch_request_fast)
    far_extra=$(calc %f "$(median patch_tenth_far) - $(median patch_tenth_slow)")
    printf 'patch, the cost of a request (curl, one-byte ranges on one connection): %.1f ms at 50 ms round trips, ' \
        "$(calc %f "$req_far * 1000")"
    printf '%.1f ms at full loopback speed; a new connection'"'"'s first request %.1f ms and %.1f ms; ' \
        "$(calc %f "$req_fast * 1000")" "$(calc %f "$(median patch_first_request_far) * 1000")" \
        "$(calc %f "$(median patch_first_request_fast) * 1000")"
    printf 'at 50 Mbit/s a request at 50 ms round trips costs as much as %.0f KiB of entries, ' \
        "$(calc %f "$req_far * 50e6 / 8 / 1024")"
    printf 'the gap below which near entries are cheaper fetched in one request; the updater'"'"'s tenth run took ' 
    printf '%+.3f s with 50 ms round trips over the same at 50 Mbit/s (%.0f requests: %.1f ms a request)\n' \
        "$far_extra" "$(median patch_tenth_far_all_requests)" \
        "$(calc %f "$far_extra * 1000 / $(median patch_tenth_far_all_requests)")"
}

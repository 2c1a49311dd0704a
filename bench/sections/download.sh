# bench/measure, section "download": DownloadAny against the bare WinINet loop (into memory, with writes, with
# progress) and native curl, over 64 and 512 MiB. bench_download runs it, report_download prints its figures.
# Sourced by bench/measure (which also sources sections/common.sh first), not run.

DL_DIR=$WORK/download

dl_check() { # what, output
    [ "$(field ok "$2")" = 1 ] && [ "$(field bytes "$2")" = "$DL_BYTES" ] || die "$1 failed: $2"
}
dl_any() {
    rm -f "$DL_DIR"/*; settle
    local out
    out=$(run_exe bench_download any "$BASE_URL" "$DL_NAME" "$(windows_path "$DL_DIR/any.bin")")
    dl_check DownloadAny "$out"
    record "dl${DL_MIB}_any" "$(field seconds "$out")"
}
dl_any_earlier() {
    rm -f "$DL_DIR"/*; settle
    local out
    out=$(BIN=$EARLIER_BIN run_exe bench_download any "$BASE_URL" "$DL_NAME" "$(windows_path "$DL_DIR/any.bin")")
    dl_check "the earlier DownloadAny" "$out"
    record "dl${DL_MIB}_any_earlier" "$(field seconds "$out")"
}
dl_bare() {
    rm -f "$DL_DIR"/*; settle
    local out
    out=$(run_exe bench_download bare "$BASE_URL$DL_NAME")
    dl_check "the bare WinINet loop" "$out"
    record "dl${DL_MIB}_bare" "$(field seconds "$out")"
}
dl_bare_write() {
    rm -f "$DL_DIR"/*; settle
    local out
    out=$(run_exe bench_download bare --to "$(windows_path "$DL_DIR/bare.bin")" "$BASE_URL$DL_NAME")
    dl_check "the bare WinINet loop with writes" "$out"
    record "dl${DL_MIB}_bare_write" "$(field seconds "$out")"
}
dl_bare_write_post() {
    rm -f "$DL_DIR"/*; settle
    local out
    out=$(run_exe bench_download bare --to "$(windows_path "$DL_DIR/bare.bin")" --post "$BASE_URL$DL_NAME")
    dl_check "the bare WinINet loop with writes and progress" "$out"
    record "dl${DL_MIB}_bare_write_post" "$(field seconds "$out")"
}
dl_curl_null() {
    rm -f "$DL_DIR"/*; settle
    local t0
    t0=$(now_ns)
    curl -sSf --cacert "$CA" -o /dev/null "$BASE_URL$DL_NAME"
    record "dl${DL_MIB}_curl_null" "$(seconds_since "$t0")"
}
dl_curl_file() {
    rm -f "$DL_DIR"/*; settle
    local t0
    t0=$(now_ns)
    curl -sSf --cacert "$CA" -o "$DL_DIR/curl.bin" "$BASE_URL$DL_NAME"
    record "dl${DL_MIB}_curl_file" "$(seconds_since "$t0")"
}

bench_download() { # size in MiB
    DL_MIB=$1
    DL_NAME=bench$1.bin
    DL_BYTES=$(($1 * MiB))
    mkdir -p "$DL_DIR"
    local rep
    for rep in $(seq "$REPS"); do
        alternate "$rep" dl_any ${EARLIER_BIN:+dl_any_earlier} dl_bare dl_bare_write dl_bare_write_post dl_curl_null \
            dl_curl_file
        say "download $DL_MIB MiB, repetition $rep: DownloadAny $(last "dl${DL_MIB}_any") s," \
            "bare $(last "dl${DL_MIB}_bare") s, + writes $(last "dl${DL_MIB}_bare_write") s," \
            "+ progress $(last "dl${DL_MIB}_bare_write_post") s, curl $(last "dl${DL_MIB}_curl_null") s" \
            "/ $(last "dl${DL_MIB}_curl_file") s"
    done
    rm -f "$DL_DIR"/*
}

mibs() { calc %.0f "$1 / $2"; }

report_download() { # size in MiB
    local m=$1 any bare write post null file
    any=$(median "dl${m}_any"); bare=$(median "dl${m}_bare"); write=$(median "dl${m}_bare_write")
    post=$(median "dl${m}_bare_write_post"); null=$(median "dl${m}_curl_null"); file=$(median "dl${m}_curl_file")
    printf 'download %s MiB: DownloadAny %.3f s (%s MiB/s); bare WinINet loop into memory %.3f s (%s MiB/s) -> ' \
        "$m" "$any" "$(mibs "$m" "$any")" "$bare" "$(mibs "$m" "$bare")"
    printf 'DownloadAny reaches %.2f of it (target >= %s: %s); the same loop writing each block %.3f s (%.2f), ' \
        "$(calc %f "$bare / $any")" "$TARGET_DOWNLOAD" "$(verdict "$bare / $any >= $TARGET_DOWNLOAD")" \
        "$write" "$(calc %f "$bare / $write")"
    printf 'and also posting progress per block %.3f s (%.2f); DownloadAny = %.2f of that last loop; ' \
        "$post" "$(calc %f "$bare / $post")" "$(calc %f "$post / $any")"
    printf 'native curl -o /dev/null %.3f s (%s MiB/s), curl -o file %.3f s (%s MiB/s)\n' \
        "$null" "$(mibs "$m" "$null")" "$file" "$(mibs "$m" "$file")"
    report_earlier "dl${m}_any" "download $m MiB" "DownloadAny" "$(calc %f "$bare / $(median "dl${m}_any_earlier")")" \
        " of the bare loop"
}

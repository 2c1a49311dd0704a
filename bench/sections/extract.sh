# bench/measure, section "extract": ExtractZip against the bare write loop, its own parts, native unzip and bsdtar,
# over lib.zip and the 20000-file many.zip, and the memory it takes. bench_extract runs it, report_extract and
# report_memory print its figures.
# Sourced by bench/measure (which also sources sections/common.sh first), not run.

X_DIR=$WORK/extract

x_zip() {
    rm -rf "${X_DIR:?}"/*
    # The updater empties or creates the target folder before it extracts.
    mkdir -p "$X_DIR/zip"
    settle
    local out
    out=$(run_exe bench_extract zip "$(windows_path "$X_ARCHIVE")" "$(windows_path "$X_DIR/zip")")
    [ "$(field ok "$out")" = 1 ] || die "ExtractZip failed: $out"
    record "x_${X_PKG}_zip" "$(field seconds "$out")"
    record "x_${X_PKG}_peak" "$(field peak_working_set "$out")"
}
x_zip_earlier() {
    rm -rf "${X_DIR:?}"/*
    mkdir -p "$X_DIR/zip"
    settle
    local out
    out=$(BIN=$EARLIER_BIN run_exe bench_extract zip "$(windows_path "$X_ARCHIVE")" "$(windows_path "$X_DIR/zip")")
    [ "$(field ok "$out")" = 1 ] || die "the earlier ExtractZip failed: $out"
    record "x_${X_PKG}_zip_earlier" "$(field seconds "$out")"
}
x_floor() {
    rm -rf "${X_DIR:?}"/*; settle
    local out
    out=$(run_exe bench_extract floor "$(windows_path "$DATA/$X_PKG.manifest")" "$(windows_path "$X_DIR/floor")")
    [ "$(field ok "$out")" = 1 ] || die "the bare write loop failed: $out"
    record "x_${X_PKG}_floor" "$(field seconds "$out")"
}
x_floor_as_zip() {
    rm -rf "${X_DIR:?}"/*; settle
    local out
    out=$(run_exe bench_extract floor --as-zip "$(windows_path "$DATA/$X_PKG.manifest")" \
        "$(windows_path "$X_DIR/floor")")
    [ "$(field ok "$out")" = 1 ] || die "the write loop with ExtractZip's calls failed: $out"
    record "x_${X_PKG}_floor_as_zip" "$(field seconds "$out")"
}
x_decode() {
    local out
    out=$(run_exe bench_extract decode "$(windows_path "$X_ARCHIVE")")
    [ "$(field ok "$out")" = 1 ] || die "decoding the archive failed: $out"
    record "x_${X_PKG}_decode" "$(field seconds "$out")"
}
# The alternative to reading the archive: a read-only mapping with every page touched.
x_map() {
    local out
    out=$(run_exe bench_extract map "$(windows_path "$X_ARCHIVE")")
    [ "$(field ok "$out")" = 1 ] || die "mapping the archive failed: $out"
    record "x_${X_PKG}_map" "$(field seconds "$out")"
}
x_read() {
    local out
    out=$(run_exe bench_extract read "$(windows_path "$X_ARCHIVE")")
    [ "$(field ok "$out")" = 1 ] || die "reading the archive failed: $out"
    record "x_${X_PKG}_read" "$(field seconds "$out")"
}
x_unzip() {
    rm -rf "${X_DIR:?}"/*; settle
    local t0
    t0=$(now_ns)
    unzip -q -o "$X_ARCHIVE" -d "$X_DIR/unzip"
    record "x_${X_PKG}_unzip" "$(seconds_since "$t0")"
}
x_bsdtar() {
    rm -rf "${X_DIR:?}"/*; settle
    mkdir -p "$X_DIR/bsdtar"
    local t0
    t0=$(now_ns)
    bsdtar -xf "$X_ARCHIVE" -C "$X_DIR/bsdtar"
    record "x_${X_PKG}_bsdtar" "$(seconds_since "$t0")"
}

bench_extract() { # package (lib or many), repetitions
    X_PKG=$1
    X_ARCHIVE=$DATA/$1.zip
    mkdir -p "$X_DIR"
    rm -rf "${X_DIR:?}"/*
    # The benchmark counts only a correct extraction: one untimed run first, compared with Info-ZIP's result.
    mkdir -p "$X_DIR/zip"
    local out
    out=$(run_exe bench_extract zip "$(windows_path "$X_ARCHIVE")" "$(windows_path "$X_DIR/zip")")
    [ "$(field ok "$out")" = 1 ] || die "ExtractZip failed: $out"
    unzip -q -o "$X_ARCHIVE" -d "$X_DIR/check"
    diff -r -q "$X_DIR/zip" "$X_DIR/check" >/dev/null || die "ExtractZip wrote something else than unzip"
    local rep
    for rep in $(seq "$2"); do
        alternate "$rep" x_zip ${EARLIER_BIN:+x_zip_earlier} x_floor x_floor_as_zip x_read x_map x_decode x_unzip \
            x_bsdtar
        say "extract $X_PKG, repetition $rep: ExtractZip $(last "x_${X_PKG}_zip") s," \
            "floor $(last "x_${X_PKG}_floor") s, floor with ExtractZip's calls $(last "x_${X_PKG}_floor_as_zip") s," \
            "archive read $(last "x_${X_PKG}_read") s, mapped $(last "x_${X_PKG}_map") s," \
            "decode $(last "x_${X_PKG}_decode") s," \
            "unzip $(last "x_${X_PKG}_unzip") s, bsdtar $(last "x_${X_PKG}_bsdtar") s"
    done
    rm -rf "${X_DIR:?}"/*
}

report_extract() { # package, description, target
    local p=$1 target=$3 zip floor as_zip read decode unzip bsdtar
    zip=$(median "x_${p}_zip"); floor=$(median "x_${p}_floor"); as_zip=$(median "x_${p}_floor_as_zip")
    read=$(median "x_${p}_read"); decode=$(median "x_${p}_decode")
    unzip=$(median "x_${p}_unzip"); bsdtar=$(median "x_${p}_bsdtar")
    printf 'extract %s: ExtractZip %.3f s, bare CreateFileW/WriteFile loop %.3f s (I/O floor) -> ' "$2" "$zip" "$floor"
    printf '%.2fx the floor (target <= %s: %s); of the difference: ExtractZip'"'"'s own Windows calls without the ' \
        "$(calc %f "$zip / $floor")" "$target" "$(verdict "$zip / $floor <= $target")"
    printf 'archive %.3f s (%+.3f s), reading the archive %.3f s (mapping it instead %.3f s), ' \
        "$as_zip" "$(calc %f "$as_zip - $floor")" "$read" "$(median "x_${p}_map")"
    printf 'inflate and CRC on one thread %.3f s; ' "$decode"
    printf 'native unzip %.3f s (%.2fx), bsdtar %.3f s (%.2fx)\n' \
        "$unzip" "$(calc %f "$zip / $unzip")" "$bsdtar" "$(calc %f "$zip / $bsdtar")"
    report_earlier "x_${p}_zip" "extract $p" "ExtractZip" "$(calc %f "$(median "x_${p}_zip_earlier") / $floor")" \
        "x the floor"
}

report_memory() {
    local peak idle size limit
    peak=$(median x_lib_peak)
    idle=$(field peak_working_set "$(run_exe bench_extract idle)")
    size=$(stat -c %s "$DATA/lib.zip")
    limit=$(calc %.0f "$size + $TARGET_MEMORY_SLACK_MiB * $MiB")
    printf 'memory: peak working set extracting lib.zip %.1f MiB for an archive of %.1f MiB (%.1f MiB above it; ' \
        "$(calc %f "$peak / $MiB")" "$(calc %f "$size / $MiB")" "$(calc %f "($peak - $size) / $MiB")"
    printf 'the same program idle %.1f MiB) -> target <= archive + %s MiB = %.1f MiB: %s\n' \
        "$(calc %f "$idle / $MiB")" "$TARGET_MEMORY_SLACK_MiB" "$(calc %f "$limit / $MiB")" \
        "$(verdict "$peak <= $limit")"
}

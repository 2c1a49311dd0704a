# bench/measure, section "wait": the scan for a running game among 200 other processes. bench_wait runs it,
# report_wait prints its figures.
# Sourced by bench/measure (which also sources sections/common.sh first), not run.

bench_wait() {
    local others=$WORK/wait/others empty=$WORK/wait/game out
    rm -rf "$WORK/wait"
    mkdir -p "$others" "$empty"
    cp "$BIN/fixture_game.exe" "$others/"
    out=$(run_exe bench_wait "$(windows_path "$others/fixture_game.exe")" 200 100 "$(windows_path "$empty")")
    [ "$(field ok "$out")" = 1 ] || die "the wait benchmark failed: $out"
    for key in processes_alone scan_alone_us walk_alone_us processes_crowded scan_crowded_us walk_crowded_us \
        start_seconds; do
        record "wait_$key" "$(field "$key" "$out")"
    done
    say "wait scan: $(echo $out)"
    rm -rf "$WORK/wait"
}

report_wait() {
    local crowded alone walk n n0
    crowded=$(median wait_scan_crowded_us); alone=$(median wait_scan_alone_us); walk=$(median wait_walk_crowded_us)
    n=$(median wait_processes_crowded); n0=$(median wait_processes_alone)
    printf 'wait scan: one scan with %s processes listed (200 others running) %.0f us (%.1f us per process), ' \
        "$n" "$crowded" "$(calc %f "$crowded / $n")"
    printf 'with %s processes %.0f us; the snapshot walk alone %.0f us -> opening and querying is %.0f%% of a scan\n' \
        "$n0" "$alone" "$walk" "$(calc %f "100 * ($crowded - $walk) / $crowded")"
}

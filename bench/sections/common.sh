# The helpers of bench/measure's sections: running the build's programs, recording and reducing figures, the
# alternation of variants, nginx, and the check of a finished update. Sourced by bench/measure, not run.

say() { printf '.. %s\n' "$*" >&2; }
die() { printf 'bench: %s\n' "$*" >&2; exit 1; }
now_ns() { date +%s%N; }
seconds_since() { awk -v a="$1" -v b="$(now_ns)" 'BEGIN { printf "%.6f", (b - a) / 1e9 }'; }
# A Windows program of the build; its "key=value" lines on stdout, without the carriage returns of text mode.
run_exe() {
    local out
    out=$(wine "$BIN/$1.exe" "${@:2}" </dev/null 2>>"$LOG") || true
    printf '%s\n' "$out" | tr -d '\r'
}
field() { printf '%s\n' "$2" | sed -n "s/^$1=//p" | head -n 1; }
record() { # figure, value
    echo "$2" >>"$VALUES/$1"
    printf '%s\t%s\n' "$1" "$2" >>"$RESULTS/raw.tsv"
}
# The median of a figure's values; "nan" for a figure of a section that did not run (BENCH_SECTIONS).
median() {
    [ -s "$VALUES/$1" ] || { echo nan; return; }
    sort -g "$VALUES/$1" |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
calc() {
    case $2 in
        *nan*) echo nan ;;
        *) awk "BEGIN { printf \"$1\", $2 }" ;;
    esac
}
verdict() { # condition as awk expression
    if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "MISSED"; fi
}
# Drops what the previous run left for the disk to write, so that each timed run starts from the same state.
settle() { sync; }

# nginx serves the mirror folder with the tests' localhost certificate; its access log names the TLS each client got.
start_nginx() {
    rm -rf "$NGINX_DIR"
    nginx_start "$NGINX_DIR" "    default_type application/octet-stream;
    log_format bench '\$remote_addr \"\$request\" \$status \$body_bytes_sent \$request_time '
                     '\$ssl_protocol \$ssl_cipher \"\$http_user_agent\"';
    access_log $NGINX_DIR/access.log bench;
    sendfile on;
    server {
        listen 127.0.0.1:$PORT ssl;
        server_name localhost;
        ssl_certificate $BUILD/certs/localhost-chain.pem;
        ssl_certificate_key $BUILD/certs/localhost.key;
        root $BUILD/mirror;
    }"
    for _ in $(seq 100); do
        curl -sf --cacert "$CA" -r 0-0 -o /dev/null "${BASE_URL}game.exe" && return 0
        sleep 0.1
    done
    die "nginx did not start: $(cat "$NGINX_DIR/error.log")"
}

cleanup() {
    stop_line
    nginx_stop "$NGINX_DIR"
    stop_wineserver
}

# The player's line of the patch and resume sections: their own nginx, restarted for each kind of line, with a log
# of what it sent for every request ($bytes_sent: headers included); behind bench/line_proxy.py when the line delays
# or breaks, the proxy then taking the mirror's port.
LINE_DIR=$BUILD/nginx-line
LINE_LOG=$LINE_DIR/sent.log
LINE_PROXY_PID=""
# A line that breaks holds its socket buffers to 256 KiB, about what a 50 Mbit/s line with 50 ms round trips keeps in
# flight (312 kB), instead of the megabytes loopback's autotuning gives: nginx's bytes past the cut are then a real
# line's loss, not this machine's.
LINE_CUT_BUFFER=262144
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_for_mirror() {
    for _ in $(seq 100); do
        curl -sf --cacert "$CA" -r 0-0 -o /dev/null "${BASE_URL}game.exe" && return 0
        sleep 0.1
    done
    die "the mirror did not answer at $BASE_URL: $(tail -n 5 "$1/error.log" 2>/dev/null)"
}
# serve_line RATE DELAY_MS [CUT_AFTER]: RATE as nginx's limit_rate (0: none); DELAY_MS each way (0: no proxy); the
# first transfer of CUT_AFTER bytes or more broken there.
serve_line() {
    local listen=$PORT buffer=""
    [ -n "${3:-}" ] && buffer=" sndbuf=$LINE_CUT_BUFFER"
    stop_line
    nginx_stop "$NGINX_DIR"
    if [ "$2" != 0 ] || [ -n "${3:-}" ]; then
        listen=$(free_port)
    fi
    mkdir -p "$LINE_DIR"
    touch "$LINE_LOG"
    nginx_start "$LINE_DIR" "    default_type application/octet-stream;
    log_format sent '\$status \$bytes_sent \$body_bytes_sent \"\$request\" \"\$http_range\" '
                    '\"\$http_if_range\" \$request_time';
    access_log $LINE_LOG sent;
    sendfile on;
    server {
        listen 127.0.0.1:$listen ssl$buffer;
        server_name localhost;
        ssl_certificate $BUILD/certs/localhost-chain.pem;
        ssl_certificate_key $BUILD/certs/localhost.key;
        root $BUILD/mirror;
        location / {
            limit_rate $1;
        }
    }"
    if [ "$listen" != "$PORT" ]; then
        python3 "$ROOT/bench/line_proxy.py" --listen "$PORT" --target "$listen" --delay-ms "$2" \
            ${3:+--cut-after "$3" --buffer "$LINE_CUT_BUFFER"} --stats "$LINE_DIR/proxy.txt" &
        LINE_PROXY_PID=$!
    fi
    wait_for_mirror "$LINE_DIR"
}
stop_line() {
    if [ -n "$LINE_PROXY_PID" ]; then
        kill "$LINE_PROXY_PID" 2>/dev/null || true
        wait "$LINE_PROXY_PID" 2>/dev/null || true
        LINE_PROXY_PID=""
# A line that breaks holds its socket buffers to 256 KiB, about what a 50 Mbit/s line with 50 ms round trips keeps in
# flight (312 kB), instead of the megabytes loopback's autotuning gives: nginx's bytes past the cut are then a real
# line's loss, not this machine's.
LINE_CUT_BUFFER=262144
    fi
    nginx_stop "$LINE_DIR"
}
# The other sections' nginx again, with its own configuration and logs.
restore_mirror() {
    stop_line
    /usr/sbin/nginx -e "$NGINX_DIR/error.log" -p "$NGINX_DIR" -c "$NGINX_DIR/nginx.conf"
    wait_for_mirror "$NGINX_DIR"
}
# Bytes nginx sent (headers included) and requests it answered since its log had LINES lines, for the requests
# whose path matches the awk pattern.
line_sent_since() { # lines, pattern
    tail -n "+$(($1 + 1))" "$LINE_LOG" |
        awk -v p="$2" '$5 ~ p { bytes += $2; n++ } END { printf "%d %d", bytes, n }'
}
line_lines() { wc -l <"$LINE_LOG"; }

# Runs each named measurement once, starting with a different one in each repetition, so that no variant always
# runs first or always follows the same other one.
alternate() { # repetition, function...
    local rep=$1 i
    shift
    local variants=("$@")
    for ((i = 0; i < ${#variants[@]}; i++)); do
        "${variants[$(((i + rep) % ${#variants[@]}))]}"
    done
}

last() { tail -n 1 "$VALUES/$1"; }

# One line for a figure that the earlier build also has: its median beside this build's, from the same run.
report_earlier() { # figure, what, program, the earlier build's ratio, what the ratio is of
    [ -s "$VALUES/$1_earlier" ] || return 0
    printf '%s, earlier build %s: %s %.3f s (this build %.3f s, %.2f of the earlier time) -> %.2f%s\n' "$2" \
        "$EARLIER_NAME" "$3" "$(median "$1_earlier")" "$(median "$1")" \
        "$(calc %f "$(median "$1") / $(median "$1_earlier")")" "$4" "$5"
}

# A finished update: the game was started, replaced by the served one, lib holds the package, no temporary file is left.
check_updated() { # game folder, served game, files in the package
    local g=$1
    for _ in $(seq 100); do
        [ -f "$g/launch.txt" ] && break
        sleep 0.1
    done
    [ -f "$g/launch.txt" ] || die "the updated game was not started"
    cmp -s "$g/vorlance.exe" "$2" || die "vorlance.exe was not replaced"
    [ "$(find "$g/lib" -type f ! -name "vorlance-updater-*.txt" | wc -l)" = "$3" ] || die "lib does not hold the $3 files of the package"
    [ ! -e "$g/lib_new" ] && [ ! -e "$g/lib_old" ] && [ ! -e "$g/vorlance_new.exe" ] || die "temporary files were left"
    # The game ends at once; give its process time to go before the next run looks for it.
    sleep 0.5
}

# Whether bench_update's lines say that the updater ended by itself, with exit code 0 and no error box.
ended_well() {
    [ "$(field exit_code "$1")" = 0 ] && [ "$(field timed_out "$1")" = 0 ] && [ -z "$(field error_box "$1")" ]
}

# The bare WinINet loop over both files the mirror serves (lib.zip and game.exe), recorded as FIGURE.
bare_download_both() { # figure
    settle
    local out
    out=$(run_exe bench_download bare "${BASE_URL}lib.zip" "${BASE_URL}game.exe")
    [ "$(field ok "$out")" = 1 ] || die "bare WinINet loop failed: $out"
    record "$1" "$(field seconds "$out")"
}

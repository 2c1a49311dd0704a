# Wine for the scripts, the benchmark and the fixture scripts: the environment, who runs it, the prefix, the
# persistent server, and Linux paths as Wine reads them. Sourced (bash), not run.
#   WINE_USER         when set, the user who owns the prefix and runs Wine (choose_wine_user sets it); else the caller
#   VORLANCE_BUILD_DIR the build folder: its wine-prefix/ is the default prefix, its home/ the Wine user's home
source "$(dirname "${BASH_SOURCE[0]}")/base.sh"

# Tests run as this unprivileged user when the scripts run as root, so that read-only files behave as on Windows.
TEST_USER=vorlance-test

# Wine reads a Unix path given as an argument as a path on the current drive; Z: is the Unix root.
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

# wine_env [PREFIX]: the environment every Wine run of the project has: the prefix (the build's unless given), no
# debug output and no Mono or Gecko installer (unless the caller chose otherwise).
wine_env() {
    export WINEPREFIX=${1:-${VORLANCE_BUILD_DIR:?}/wine-prefix}
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
}

# The temporary folder of every Wine run: inside the build folder, so that the Wine user can always write it (a
# TMPDIR of the caller's, such as root's own, may be closed to that user, and then neither Wine nor xvfb-run starts).
wine_temp_dir() { printf '%s/tmp' "${VORLANCE_BUILD_DIR:?}"; }

# Runs a command as the user who owns the Wine prefix.
as_wine_user() {
    if [ -n "${WINE_USER:-}" ]; then
        runuser -u "$WINE_USER" -- env HOME="${VORLANCE_BUILD_DIR:?}/home" TMPDIR="$(wine_temp_dir)" "$@"
    else
        TMPDIR="$(wine_temp_dir)" "$@"
    fi
}

# Stops the script with what failed and the last lines the failing step printed.
wine_step_failed() { # what, log file
    echo "error: $1 (WINEPREFIX=$WINEPREFIX${WINE_USER:+, as $WINE_USER}). Its last output:" >&2
    tail -n 20 "$2" >&2 2>/dev/null || true
    exit 1
}

# Chooses who runs Wine: an unprivileged user when we are root and that user can reach the build folder.
choose_wine_user() {
    local build=${VORLANCE_BUILD_DIR:?}
    WINE_USER=""
    mkdir -p "$(wine_temp_dir)"
    if [ "$(id -u)" -eq 0 ] && [ -z "${VORLANCE_WINE_AS_ROOT:-}" ]; then
        id "$TEST_USER" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$TEST_USER"
        if runuser -u "$TEST_USER" -- test -r "$build/CMakeCache.txt"; then
            WINE_USER=$TEST_USER
            mkdir -p "$build/home"
            chown -R "$TEST_USER" "$build"
        else
            log "the build folder is not reachable by $TEST_USER: Wine runs as root (read-only checks are skipped)"
        fi
    fi
    export WINE_USER
}

# Creates the prefix $WINEPREFIX once, with a virtual desktop so that windows close at once and have title bars under
# Xvfb.
make_prefix() {
    [ -f "$WINEPREFIX/system.reg" ] && return 0
    log "creating the Wine prefix $WINEPREFIX"
    local output
    # A file of this run's own: a later step may run as another user than the one that made an earlier log.
    output=$(mktemp "$(wine_temp_dir)/make-prefix.XXXXXX")
    as_wine_user wineboot -i </dev/null >"$output" 2>&1 || wine_step_failed "Wine could not create its prefix" "$output"
    as_wine_user wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >>"$output" 2>&1 &&
        as_wine_user wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
            </dev/null >>"$output" 2>&1 || wine_step_failed "Wine could not set up its virtual desktop" "$output"
    as_wine_user wineserver -w >>"$output" 2>&1
    # wineboot can end with 0 having made nothing (a prefix folder the Wine user cannot enter, say).
    [ -f "$WINEPREFIX/system.reg" ] || wine_step_failed "Wine could not create its prefix" "$output"
}

# One persistent wineserver for the whole run, started detached from every pipe (else ctest waits on its stderr).
start_wineserver() {
    local output
    output=$(mktemp "$(wine_temp_dir)/start-wine.XXXXXX")
    as_wine_user wineserver -p </dev/null >"$output" 2>&1 || wine_step_failed "the Wine server did not start" "$output"
    as_wine_user wine cmd /c exit </dev/null >>"$output" 2>&1 || wine_step_failed "Wine could not start a program" "$output"
}

# Wine closes its virtual desktop a moment after the last program on it ends, and the next program to need it starts
# a new desktop process that keeps that program's output open. Started by a test, ctest would wait on that test's
# output until the desktop closed again, long after the test ended (a test that runs beside long ones can time out
# so). One program holds the desktop from here to the end of the run, its output and the desktop's in a log.
hold_desktop() {
    local output ready holder=${VORLANCE_BUILD_DIR:?}/bin/desktop_holder.exe
    output=$(mktemp "$(wine_temp_dir)/hold-desktop.XXXXXX")
    ready=$output.ready
    as_wine_user wine "$holder" "$(windows_path "$ready")" </dev/null >>"$output" 2>&1 &
    local holder_pid=$! _
    for _ in $(seq 600); do
        [ -f "$ready" ] && return 0
        kill -0 "$holder_pid" 2>/dev/null || break
        sleep 0.1
    done
    wine_step_failed "the Wine desktop did not open" "$output"
}

stop_wineserver() {
    as_wine_user wineserver -k </dev/null >/dev/null 2>&1 || true
}

#!/bin/bash
# Captures what a player sees, as PNG files anyone can look at: the status window in the middle of a download and
# the error box after a damaged download, on a 96-DPI screen and on a 144-DPI (150 %) one. Runs the real updater
# under Wine on the test mirror's fixed folders; the 144-DPI pictures come from a small prefix of their own, because
# Wine reads the DPI only when its server starts and the suite's server is shared.
#
#   take-screenshots.sh BIN_DIR MIRROR_ROOT OUT_DIR WINE_RUN PREFIX_144
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/wine.sh"
source "$(dirname "$0")/../../scripts/lib/game.sh"
# Wine runs as the caller: CTest already runs as the owner of the prefixes.
WINE_USER=""
bin=${1:?usage: take-screenshots.sh BIN_DIR MIRROR_ROOT OUT_DIR WINE_RUN PREFIX_144}
root=${2:?}
out=${3:?}
wine_run=${4:?}
prefix_144=${5:?}
: "${DISPLAY:?the screenshots need an X display (run the suite under xvfb-run)}"
game=$out/game
served=$root/primary/vorlance
ca_pem=$(dirname "$root")/certs/ca.pem
updater=""

finish() {
    [ -n "$updater" ] && kill "$updater" 2>/dev/null
    WINEPREFIX=$prefix_144 wineserver -k </dev/null >/dev/null 2>&1 || true
}
trap finish EXIT

lay_out() {
    rm -rf "$root/primary" "$root/fallback"
    lay_out_game "$game" "$bin/VorlanceUpdater.exe" "$bin/fixture_game.exe" "--stay 0"
    mkdir -p "$served"
    python3 -c "import zipfile,sys; z=zipfile.ZipFile(sys.argv[1],'w'); z.writestr('bass.dll', b'bass'); z.close()" \
        "$served/lib.zip"
}

# A prefix like the suite's (the same desktop, the test mirror's CA trusted) whose screens have 144 DPI.
make_prefix_144() {
    export WINEPREFIX=$prefix_144
    make_prefix
    if ! grep -qs '^"LogPixels"=dword:00000090' "$WINEPREFIX/user.reg"; then
        wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f </dev/null >/dev/null 2>&1
    fi
    "$wine_run" "$bin/install_ca.exe" "$(windows_path "$ca_pem")" </dev/null >/dev/null
    # The DPI is read when the server starts: let this one end so the updater's run starts a new one.
    wineserver -w
    unset WINEPREFIX
}

start_updater() {
    (cd "$game" && exec "$wine_run" VorlanceUpdater.exe) </dev/null >/dev/null 2>&1 &
    updater=$!
}

# Waits (a minute at most) until the updater shows a window of this title, and checks its outer size when one is
# given. Wine makes the X window when the window is created, so only a mapped one counts as shown.
wait_for_window() {
    local title=$1 size=$2 ids="" details=""
    for _ in $(seq 600); do
        ids=$(xwininfo -root -tree 2>/dev/null | grep -F "\"$title\": (\"vorlanceupdater.exe\"" | awk '{print $1}') ||
            true
        for window in $ids; do
            details=$(xwininfo -id "$window" 2>/dev/null) || continue
            if grep -q 'Map State: IsViewable' <<<"$details"; then
                local shown
                shown="$(awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}' <<<"$details")"
                if [ -n "$size" ] && [ "$shown" != "$size" ]; then
                    echo "the \"$title\" window is $shown, not $size" >&2
                    return 1
                fi
                return 0
            fi
        done
        sleep 0.1
    done
    echo "no \"$title\" window appeared" >&2
    return 1
}

# Waits (a minute at most) until a command succeeds; says what never happened when it does not.
wait_until() {
    local missing=$1
    shift
    for _ in $(seq 600); do
        "$@" && return 0
        sleep 0.1
    done
    echo "$missing" >&2
    return 1
}

# The Wine desktop is 1024x768 at the top left of the screen; the window is centred on it and the picture keeps a
# margin around it that grows with the DPI. (xwd misses windows that Wine draws while another thread's modal box is
# up; import does not.)
shoot() {
    local name=$1 dpi=$2
    local width=$((440 * dpi / 96)) height=$((220 * dpi / 96))
    import -display "$DISPLAY" -window root -crop 1024x768+0+0 +repage "png:$out/$name-desktop.png"
    /usr/bin/convert "$out/$name-desktop.png" -crop "${width}x${height}+$((512 - width / 2))+$((384 - height / 2))" \
        +repage "png:$out/$name.png"
}

is_blank() {
    [ "$(/usr/bin/convert "$1" -format '%[fx:standard_deviation]' info:)" = "0" ]
}

# Both pictures at one DPI: NAME_SUFFIX DPI WINDOW_SIZE
take_pictures() {
    local suffix=$1 dpi=$2 size=$3

    # 1. Mid-run: a slow mirror keeps the game download going for several seconds; the first block of the body comes
    # one pace after the request, so the picture waits that long to show the bar moving.
    lay_out
    { cat "$bin/fixture_game.exe"; printf 'new build'; } >"$served/game.exe"
    echo '{"pace_ms": 1500}' >"$served/game.exe.behaviour"
    start_updater
    wait_for_window "Vorlance Updater" "$size"
    wait_until "the updater never asked for game.exe" grep -qs game.exe "$root/primary/requests.log"
    sleep 2
    shoot "status-window$suffix" "$dpi"
    wait "$updater" || true
    # Until the game the updater started has written its record it may still create files in the game folder, and
    # laying the folder out again would race with it.
    wait_until "the updater never started the game" test -f "$game/launch.txt"

    # 2. The error box after a download that is not a Windows program.
    lay_out
    printf '<html>502 Bad Gateway</html>' >"$served/game.exe"
    start_updater
    wait_for_window "Update Error" ""
    # The box may be up a moment before it has drawn its text.
    sleep 0.5
    shoot "error-box$suffix" "$dpi"
    kill "$updater" 2>/dev/null || true
    wait "$updater" 2>/dev/null || true
    updater=""
}

mkdir -p "$out"
rm -f "$out"/*.png

take_pictures "" 96 380x110
make_prefix_144
WINEPREFIX=$prefix_144 take_pictures "-144dpi" 144 570x165
rm -rf "$game" "$root/primary"

for picture in status-window error-box status-window-144dpi error-box-144dpi; do
    if is_blank "$out/$picture.png"; then
        echo "$picture.png shows nothing" >&2
        exit 1
    fi
    echo "wrote $out/$picture.png"
done

#!/bin/bash
# Captures what a player sees, as PNG files anyone can look at: the status window in the middle of a download and
# the error box after a damaged download. Runs the real updater under Wine on the test mirror's fixed folders.
#
#   take-screenshots.sh BIN_DIR MIRROR_ROOT OUT_DIR WINE_RUN
set -euo pipefail
bin=${1:?usage: take-screenshots.sh BIN_DIR MIRROR_ROOT OUT_DIR WINE_RUN}
root=${2:?}
out=${3:?}
wine_run=${4:?}
: "${DISPLAY:?the screenshots need an X display (run the suite under xvfb-run)}"
game=$out/game
served=$root/primary/vorlance

lay_out() {
    rm -rf "$game" "$root/primary" "$root/fallback"
    mkdir -p "$game" "$served"
    cp "$bin/VorlanceUpdater.exe" "$game/"
    cp "$bin/fixture_game.exe" "$game/vorlance.exe"
    echo "--stay 0" >"$game/fixture_args.txt"
    python3 -c "import zipfile,sys; z=zipfile.ZipFile(sys.argv[1],'w'); z.writestr('bass.dll', b'bass'); z.close()" \
        "$served/lib.zip"
}

# The Wine desktop is 1024x768 at the top left of the screen; the window is centred on it. (xwd misses windows that
# Wine draws while another thread's modal box is up; import does not.)
shoot() {
    import -display "$DISPLAY" -window root -crop 1024x768+0+0 +repage "png:$out/$1-desktop.png"
    /usr/bin/convert "$out/$1-desktop.png" -crop 440x220+292+274 +repage "png:$out/$1.png"
}

is_blank() {
    [ "$(/usr/bin/convert "$1" -format '%[fx:standard_deviation]' info:)" = "0" ]
}

mkdir -p "$out"
rm -f "$out"/*.png

# 1. Mid-run: a slow mirror keeps the game download going for several seconds.
lay_out
{ cat "$bin/fixture_game.exe"; printf 'new build'; } >"$served/game.exe"
echo '{"pace_ms": 1500}' >"$served/game.exe.behaviour"
(cd "$game" && exec "$wine_run" VorlanceUpdater.exe) </dev/null >/dev/null 2>&1 &
updater=$!
sleep 3
shoot status-window
wait $updater || true

# 2. The error box after a download that is not a Windows program.
lay_out
printf '<html>502 Bad Gateway</html>' >"$served/game.exe"
(cd "$game" && exec "$wine_run" VorlanceUpdater.exe) </dev/null >/dev/null 2>&1 &
updater=$!
sleep 5
shoot error-box
kill $updater 2>/dev/null || true
wait $updater 2>/dev/null || true
rm -rf "$game" "$root/primary"

for picture in status-window error-box; do
    if is_blank "$out/$picture.png"; then
        echo "$picture.png shows nothing" >&2
        exit 1
    fi
    echo "wrote $out/$picture.png"
done

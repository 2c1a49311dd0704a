# Game folders as the updater finds them beside a player's game. Sourced (bash), not run.

# lay_out_game FOLDER UPDATER_EXE GAME_EXE GAME_ARGS: FOLDER afresh (even one an earlier run made read-only) with the
# updater, the game as vorlance.exe, and the arguments the stand-in game (tests/fixture) takes from fixture_args.txt.
lay_out_game() {
    local folder=$1
    [ -d "$folder" ] && chmod -R u+w "$folder"
    rm -rf "$folder"
    mkdir -p "$folder"
    cp "$2" "$folder/VorlanceUpdater.exe"
    cp "$3" "$folder/vorlance.exe"
    printf '%s\n' "$4" >"$folder/fixture_args.txt"
}

# install_package FOLDER PACKAGE: what an update leaves of a library package: PACKAGE unpacked as FOLDER/lib and its
# bass*.dll copied beside the game.
install_package() {
    mkdir -p "$1/lib"
    unzip -q -o "$2" -d "$1/lib"
    cp "$1"/lib/bass*.dll "$1/"
}
